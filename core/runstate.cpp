#include "core/runstate.h"
#include "config/strings.h"
#include "core/log.h"
#include "core/seams.h"
#include <stdlib.h>

MonitorSettingsRecord* volatile MonitorSettings = NULL;
volatile DWORD DebugOutputOfReleasedSettings = 1;
LogRecord* volatile CurrentRecord = NULL;
HANDLE volatile EventSourceHandle = NULL;
volatile LONG WinsockStarted = 0;
HANDLE volatile ShutDownEvent = NULL;
volatile LONG WatcherStopped = 0;
volatile LONG StopRequested = 0;
void (*volatile FatalErrorRoutine)(void) = NULL;
SERVICE_STATUS ServiceStatus;
SERVICE_STATUS_HANDLE ServiceStatusHandle = NULL;
volatile LONG AutomaticMode = 0;
BOOL IsAtLeastXP = FALSE;
BOOL IsAtLeastWindows7 = FALSE;
BOOL IsWow64 = FALSE;

// Set by the first stop path; a second one (another control event while the
// first is handled) leaves the stop to it.
static volatile LONG StopInProgress = 0;
// Set by the console handler once it has released everything.
static volatile LONG ConsoleStopDone = 0;

static void* TakePointer(void* volatile* slot)
{
    return InterlockedExchangePointer((PVOID volatile*)slot, NULL);
}

void FreeMonitorSettings(MonitorSettingsRecord* settings)
{
    if (settings == NULL)
        return;
    FreeText(&settings->FileName);
    FreeText(&settings->TimeStamp);
    FreeText(&settings->SEPLogDir);
    FreeText(&settings->SEPBinPath);
    if (settings->Dialog != NULL) {
        FreeText(&settings->Dialog->Message);
        FreeText(&settings->Dialog->Title);
        free(settings->Dialog);
    }
    if (settings->Execute != NULL) {
        FreeText(&settings->Execute->CommandLine);
        free(settings->Execute);
    }
    if (settings->Syslog != NULL) {
        FreeText(&settings->Syslog->ServerIP);
        FreeText(&settings->Syslog->Message);
        free(settings->Syslog);
    }
    if (settings->Message != NULL) {
        FreeText(&settings->Message->Message);
        free(settings->Message);
    }
    free(settings);
}

// Each item is taken out of its slot atomically, so that two stop paths
// that meet here release it exactly once.
void ReleaseGlobals(void)
{
    if (InterlockedExchange(&WinsockStarted, 0))
        CleanupWinsock();

    HANDLE source = (HANDLE)TakePointer((void* volatile*)&EventSourceHandle);
    if (source != NULL)
        DeregisterEventSource(source);

    MonitorSettingsRecord* settings = (MonitorSettingsRecord*)TakePointer((void* volatile*)&MonitorSettings);
    if (settings != NULL) {
        DebugOutputOfReleasedSettings = settings->DebugOutput;
        FreeMonitorSettings(settings);
    }

    LogRecord* record = (LogRecord*)TakePointer((void* volatile*)&CurrentRecord);
    if (record != NULL)
        FreeLogRecord(record);

    HANDLE event = (HANDLE)TakePointer((void* volatile*)&ShutDownEvent);
    if (event != NULL)
        CloseHandle(event);
}

DWORD RandomWaitInterval(DWORD fallback)
{
    unsigned int random = 0;
    if (rand_s(&random) != 0)
        return fallback;
    return (DWORD)(((unsigned long long)random * 88) >> 32) + 22;
}

BOOL CreateShutDownEvent(void)
{
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (event == NULL)
        return FALSE;
    ShutDownEvent = event;
    return TRUE;
}

void AcknowledgeShutDown(void)
{
    HANDLE event = ShutDownEvent;
    if (event != NULL)
        CloseHandle(event);
    WatcherStopped = 1;
    ShutDownEvent = NULL;  // last act: the stop side waits for this
}

WaitOutcome WaitForChangeOrShutDown(HANDLE change, DWORD milliseconds)
{
    enum { MaxFailedWaits = 10 };
    int failedWaits = 0;
    for (;;) {
        WaitOutcome outcome = WaitUnlessStopped(change, milliseconds);
        if (outcome == WaitTimedOut && milliseconds == INFINITE) {
            failedWaits = 0;
            LogMessage(LogLevelWarning, L"No changes in the timeout period - but timeout happened unexpected.");
            continue;
        }
        if (outcome != WaitFailed)
            return outcome;
        LogMessage(LogLevelWarning, L"Unhandled dwWaitStatus.");
        if (++failedWaits >= MaxFailedWaits)
            LogMessage(LogLevelError, L"Waiting for changes failed repeatedly. QARLOV stops.");
    }
}

void RequestStop(void)
{
    InterlockedExchange(&StopRequested, 1);
    HANDLE event = ShutDownEvent;
    if (event != NULL)
        SetEvent(event);
}

BOOL IsStopRequested(void)
{
    return StopRequested != 0;
}

WaitOutcome WaitUnlessStopped(HANDLE object, DWORD milliseconds)
{
    if (IsStopRequested())
        return WaitStopped;
    // The stop event comes first: WaitForMultipleObjects reports the lowest
    // signalled index, so a stop is seen even while object stays signalled.
    HANDLE handles[2];
    DWORD count = 0;
    HANDLE stopEvent = ShutDownEvent;
    if (stopEvent != NULL)
        handles[count++] = stopEvent;
    if (object != NULL)
        handles[count++] = object;
    if (count == 0) {
        Sleep(milliseconds);
        return IsStopRequested() ? WaitStopped : WaitTimedOut;
    }
    DWORD status = WaitForMultipleObjects(count, handles, FALSE, milliseconds);
    if (status == WAIT_TIMEOUT)
        return WaitTimedOut;
    if (status >= WAIT_OBJECT_0 && status < WAIT_OBJECT_0 + count) {
        if (stopEvent != NULL && status == WAIT_OBJECT_0)
            return WaitStopped;
        return WaitSignalled;
    }
    return WaitFailed;
}

BOOL WaitForWatcherRelease(void)
{
    RequestStop();
    if (ShutDownEvent == NULL)
        return WatcherStopped != 0;
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (ShutDownEvent == NULL)
            break;
        Sleep(RandomWaitInterval(71));
    }
    return ShutDownEvent == NULL;
}

BOOL WaitForWatcherReleaseWithin(DWORD limit, void (*betweenRounds)(void))
{
    DWORD started = GetTickCount();
    for (;;) {
        if (WaitForWatcherRelease())
            return TRUE;
        if (ShutDownEvent == NULL || GetTickCount() - started >= limit)
            return FALSE;  // still loading, or stuck for good
        if (betweenRounds != NULL)
            betweenRounds();
    }
}

static const wchar_t* ControlEventText(DWORD controlType)
{
    switch (controlType) {
    case CTRL_C_EVENT:        return L"CRL-C detected. Shutting down QARLOV.";
    case CTRL_BREAK_EVENT:    return L"CRL-Break detected. Shutting down QARLOV.";
    case CTRL_CLOSE_EVENT:    return L"CRL-Close detected. Shutting down QARLOV.";
    case CTRL_LOGOFF_EVENT:   return L"CRL-Logoff detected. Shutting down QARLOV.";
    case CTRL_SHUTDOWN_EVENT: return L"CRL-Shutdown detected. Shutting down QARLOV.";
    default:                  return NULL;
    }
}

BOOL WINAPI ConsoleControlHandler(DWORD controlType)
{
    enum { ConsoleStopWaitLimit = 4000 };
    const wchar_t* text = ControlEventText(controlType);
    if (text != NULL)
        LogMessage(LogLevelInformation, L"%s", text);
    if (InterlockedExchange(&StopInProgress, 1))
        return TRUE;

    // Within the five seconds the system grants a handler for a closed
    // console.
    BOOL watcherReturned = WaitForWatcherReleaseWithin(ConsoleStopWaitLimit, NULL);
    LogMessage(LogLevelInformation, L"Deallocation of global variables and closing of open handles.");
    // A watcher that is still busy (or the loading before it) would use the
    // released items: let the system reclaim everything instead.
    if (!watcherReturned)
        ExitProcess(0);
    ReleaseGlobals();
    InterlockedExchange(&ConsoleStopDone, 1);
    return TRUE;
}

void WaitForConsoleStopHandler(void)
{
    enum { Limit = 5000, Step = 10 };
    if (!StopInProgress)
        return;
    for (DWORD waited = 0; waited < Limit && !ConsoleStopDone; waited += Step)
        Sleep(Step);
}
