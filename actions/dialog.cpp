#include "actions/actions.h"
#include "actions/actionsupport.h"
#include "core/limits.h"
#include "core/log.h"
#include "core/runstate.h"
#include "core/seams.h"
#include <strsafe.h>
#include <wtsapi32.h>

static const DWORD NoConsoleSession = 0xFFFFFFFF;
static const DWORD DialogStyle = MB_OK | MB_ICONINFORMATION | MB_SYSTEMMODAL;  // 0x1040

// Size in bytes, terminator included, as the message box call expects it.
static DWORD ByteLengthWithTerminator(const wchar_t* text)
{
    size_t length = 0;
    StringCchLengthW(text, TextLimit, &length);  // always terminated within TextLimit
    return (DWORD)((length + 1) * sizeof(wchar_t));
}

// Without a console session no box can ever be shown: the action switches
// itself off for the rest of the process's life.
void ExecuteDialogAction(void)
{
    MonitorSettingsRecord* settings = MonitorSettings;
    if (AutomaticMode || settings == NULL || settings->Dialog == NULL)
        return;
    const DialogAction* dialog = settings->Dialog;

    DWORD session = Platform.GetActiveConsoleSessionId();
    if (session == NoConsoleSession) {
        LogMessage(LogLevelWarning, L"Unable to get a WTS session id. Dialog boxes can not be displayed. "
                                    L"Switching to automatic mode.");
        InterlockedExchange(&AutomaticMode, 1);
        return;
    }

    wchar_t title[TextLimit], message[TextLimit];
    CopyAndExpand(dialog->Title, title, L"Error copying the title string in ExecuteDialogAction.");
    CopyAndExpand(dialog->Message, message, L"Error copying the message string in ExecuteDialogAction.");

    DWORD response = 0;  // the user's answer is not used
    if (!Platform.SendMessageToSession(WTS_CURRENT_SERVER_HANDLE, session, title, ByteLengthWithTerminator(title),
                                       message, ByteLengthWithTerminator(message), DialogStyle,
                                       dialog->WaitInSecs, &response, dialog->WaitForDialog))
        LogMessage(LogLevelWarning, L"Error displaying a message box. Message might not have been seen by user.");
}
