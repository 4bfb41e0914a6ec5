#include "actions/actions.h"
#include "config/settings.h"
#include "actions/actionsupport.h"
#include "core/limits.h"
#include "core/log.h"

void ExecuteMessageAction(void)
{
    MonitorSettingsRecord* settings = MonitorSettings;
    if (settings == NULL || settings->Message == NULL)
        return;
    wchar_t text[TextLimit];
    if (CopyAndExpand(settings->Message->Message, text, L"Error copying the message string in ExecuteMessageAction."))
        ReportCutText(L"Message");
    // Literal text: a "%" from the configuration or from a log field is
    // never read as a format directive. The warning reports a detection,
    // not a failure: an earlier action's error code must not be shown
    // with it.
    SetLastError(0);
    if (settings->Message->EventId == MessageEventIdDetection)
        LogMessageWithEventId(LogLevelWarning, (DWORD)QARLOV_EVENT_DETECTION, L"%s", text);
    else
        LogMessage(LogLevelWarning, L"%s", text);
}
