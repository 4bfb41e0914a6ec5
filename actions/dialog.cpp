#include "actions/actions.h"
#include "config/settings.h"
#include "actions/actionsupport.h"
#include "core/limits.h"
#include "core/log.h"
#include "core/runstate.h"
#include "core/seams.h"
#include <strsafe.h>
#include <wtsapi32.h>

static const DWORD NoConsoleSession = 0xFFFFFFFF;
static const DWORD DialogStyle = MB_OK | MB_ICONINFORMATION | MB_SYSTEMMODAL;  // 0x1040
static const wchar_t DialogRefused[] = L"Error displaying a message box. Message might not have been seen by user.";

// One message box with its expanded texts, on the heap: when the watcher
// waits for the answer, a worker thread shows the box and owns the request,
// so that the watcher can stop waiting and return at a stop request.
typedef struct DialogRequest {
    DWORD Session;
    DWORD Seconds;
    BOOL Wait;
    wchar_t Title[TextLimit];
    wchar_t Message[TextLimit];
} DialogRequest;

// The outcome of showing a box: ERROR_SUCCESS when it was shown, else the
// refusal's last-error code, or RefusedWithoutReason when it left none.
static const DWORD RefusedWithoutReason = 0xFFFFFFFF;

// Size in bytes, terminator included, as the message box call expects it.
static DWORD ByteLengthWithTerminator(const wchar_t* text)
{
    size_t length = 0;
    StringCchLengthW(text, TextLimit, &length);  // always terminated within TextLimit
    return (DWORD)((length + 1) * sizeof(wchar_t));
}

static DWORD ShowDialog(DialogRequest* request)
{
    DWORD response = 0;  // the user's answer is not used
    if (Platform.SendMessageToSession(WTS_CURRENT_SERVER_HANDLE, request->Session, request->Title,
                                      ByteLengthWithTerminator(request->Title), request->Message,
                                      ByteLengthWithTerminator(request->Message), DialogStyle, request->Seconds,
                                      &response, request->Wait))
        return ERROR_SUCCESS;
    DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : RefusedWithoutReason;
}

static void ReportOutcome(DWORD outcome)
{
    if (outcome == ERROR_SUCCESS)
        return;
    SetLastError(outcome == RefusedWithoutReason ? ERROR_SUCCESS : outcome);
    LogMessage(LogLevelWarning, DialogRefused);
}

static void FreeRequest(DialogRequest* request)
{
    HeapFree(GetProcessHeap(), 0, request);
}

// The worker's exit code is the outcome; the request is its to free.
static DWORD WINAPI ShowDialogOnWorker(LPVOID parameter)
{
    DialogRequest* request = (DialogRequest*)parameter;
    DWORD outcome = ShowDialog(request);
    FreeRequest(request);
    return outcome;
}

// Hands the request to a worker and waits for it, until a stop request:
// then the box stays on the screen and the line goes on without its answer.
static void ShowOnWorkerAndWait(DialogRequest* request)
{
    HANDLE worker = CreateThread(NULL, 0, ShowDialogOnWorker, request, 0, NULL);
    if (worker == NULL) {
        DWORD error = GetLastError();
        FreeRequest(request);
        ReportOutcome(error);
        return;
    }
    DWORD outcome = ERROR_SUCCESS;  // unknown unless the worker has ended
    if (WaitUnlessStopped(worker, INFINITE) == WaitSignalled && !GetExitCodeThread(worker, &outcome))
        outcome = ERROR_SUCCESS;
    CloseHandle(worker);
    ReportOutcome(outcome);
}

static DialogRequest* PrepareRequest(const DialogAction* dialog, DWORD session)
{
    DialogRequest* request = (DialogRequest*)HeapAlloc(GetProcessHeap(), 0, sizeof(DialogRequest));
    if (request == NULL) {
        ReportOutcome(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    request->Session = session;
    request->Seconds = dialog->WaitInSecs;
    request->Wait = dialog->WaitForDialog;
    BOOL titleCut = CopyAndExpand(dialog->Title, request->Title, L"Error copying the title string in ExecuteDialogAction.");
    BOOL messageCut =
        CopyAndExpand(dialog->Message, request->Message, L"Error copying the message string in ExecuteDialogAction.");
    if (titleCut || messageCut)
        ReportCutText(L"Dialog");
    return request;
}

// Without a console session (nobody logged on at the console, or a session
// being attached or detached during a fast user switch) this line's box is
// skipped; the next line asks again.
void ExecuteDialogAction(void)
{
    MonitorSettingsRecord* settings = MonitorSettings;
    if (settings == NULL || settings->Dialog == NULL)
        return;
    const DialogAction* dialog = settings->Dialog;

    DWORD session = Platform.GetActiveConsoleSessionId();
    if (session == NoConsoleSession) {
        LogMessage(LogLevelWarning, L"Unable to get a WTS session id. Dialog boxes can not be displayed. "
                                    L"Switching to automatic mode.");
        return;
    }

    DialogRequest* request = PrepareRequest(dialog, session);
    if (request == NULL)
        return;
    if (request->Wait) {
        ShowOnWorkerAndWait(request);
        return;
    }
    DWORD outcome = ShowDialog(request);
    FreeRequest(request);
    ReportOutcome(outcome);
}
