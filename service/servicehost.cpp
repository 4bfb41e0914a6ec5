#include "service/service.h"
#include "config/settings.h"
#include "core/entry.h"
#include "core/log.h"
#include "core/runstate.h"

// The service thread (ServiceMain) and the dispatcher thread
// (ServiceControlHandler) both change ServiceStatus and report it. Every
// change is made under StatusLock, and every report other than stopped is
// sent while the lock is still held, so those reports go out in the order of
// the changes. Stopped is final: no change leaves that state, and nothing is
// reported after it. The stopped report is sent after the lock is released:
// the system may hold it up until a running control handler has returned,
// and that handler may be waiting for the lock. It can't overtake anything:
// a report of another state was sent before the lock was left to set
// stopped.
static CRITICAL_SECTION StatusLock;
static const BOOL StatusLockReady = (InitializeCriticalSection(&StatusLock), TRUE);

enum {
    StartWaitHint = 10000,  // loading the settings reads only the registry
    StopWaitHint = 3000,    // a new check point comes every 1 to 2 seconds
    StopWaitLimit = 20000   // then the process ends without the watcher
};

// Exit codes of a service that ended on an error entry.
static const DWORD FailedExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
static const DWORD FailedSpecificExitCode = 1;

static void SetFixedFieldsLocked(DWORD win32ExitCode, DWORD specificExitCode, DWORD waitHint)
{
    ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    ServiceStatus.dwWin32ExitCode = win32ExitCode;
    ServiceStatus.dwServiceSpecificExitCode = specificExitCode;
    ServiceStatus.dwWaitHint = waitHint;
}

static BOOL ReportStatusLocked(DWORD waitHint)
{
    SetFixedFieldsLocked(0, 0, waitHint);
    return SetServiceStatus(ServiceStatusHandle, &ServiceStatus);
}

static BOOL IsStopRequestedLocked(void)
{
    return ServiceStatus.dwCurrentState == SERVICE_STOP_PENDING || ServiceStatus.dwCurrentState == SERVICE_STOPPED;
}

static void ReportStartPending(void)
{
    EnterCriticalSection(&StatusLock);
    ServiceStatus.dwCurrentState = SERVICE_START_PENDING;
    ServiceStatus.dwControlsAccepted = 0;
    ServiceStatus.dwCheckPoint = 1;
    ReportStatusLocked(StartWaitHint);
    LeaveCriticalSection(&StatusLock);
}

// FALSE when the report failed, or when a stop request came first.
static BOOL ReportRunning(void)
{
    EnterCriticalSection(&StatusLock);
    BOOL reported = FALSE;
    if (!IsStopRequestedLocked()) {
        ServiceStatus.dwCurrentState = SERVICE_RUNNING;
        ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP;
        ServiceStatus.dwCheckPoint = 0;
        reported = ReportStatusLocked(0);
    }
    LeaveCriticalSection(&StatusLock);
    return reported;
}

// Each call advances the check point, which tells the service manager that
// the stop is still making progress.
static void ReportStopPending(void)
{
    EnterCriticalSection(&StatusLock);
    if (ServiceStatus.dwCurrentState != SERVICE_STOPPED) {
        ServiceStatus.dwCurrentState = SERVICE_STOP_PENDING;
        ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP;
        ServiceStatus.dwCheckPoint += 1;
        ReportStatusLocked(StopWaitHint);
    }
    LeaveCriticalSection(&StatusLock);
}

// The final report, sent once; exit codes 0 for an ordinary stop.
static void ReportStoppedWith(DWORD win32ExitCode, DWORD specificExitCode)
{
    EnterCriticalSection(&StatusLock);
    BOOL first = ServiceStatus.dwCurrentState != SERVICE_STOPPED;
    ServiceStatus.dwCurrentState = SERVICE_STOPPED;
    ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    ServiceStatus.dwCheckPoint = 0;
    SetFixedFieldsLocked(win32ExitCode, specificExitCode, 0);
    SERVICE_STATUS stopped = ServiceStatus;
    LeaveCriticalSection(&StatusLock);
    if (first && ServiceStatusHandle != NULL)
        SetServiceStatus(ServiceStatusHandle, &stopped);
}

static void ReportStopped(void)
{
    ReportStoppedWith(0, 0);
}

// Registered for error entries in service mode: the service manager then
// shows a service that failed (and can apply its recovery actions), not
// one that vanished.
static void ReportFailedStop(void)
{
    ReportStoppedWith(FailedExitCode, FailedSpecificExitCode);
}

static DWORD WaitHintOf(DWORD state)
{
    if (state == SERVICE_START_PENDING)
        return StartWaitHint;
    return state == SERVICE_STOP_PENDING ? StopWaitHint : 0;
}

// Re-reports the current state; a pending state advances its check point.
// A stopped service reports nothing more.
static void ReportCurrentStatus(void)
{
    EnterCriticalSection(&StatusLock);
    DWORD state = ServiceStatus.dwCurrentState;
    ServiceStatus.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED)
        ServiceStatus.dwCheckPoint = 0;
    else
        ServiceStatus.dwCheckPoint += 1;
    if (state == SERVICE_STOPPED)
        SetFixedFieldsLocked(0, 0, 0);
    else
        ReportStatusLocked(WaitHintOf(state));
    LeaveCriticalSection(&StatusLock);
}

void WINAPI ServiceMain(DWORD argumentCount, LPWSTR* arguments)
{
    LogMessage(LogLevelInformation, L"QARLOV ServiceMain called has been called by the Service Control Manager.");
    // The handler comes first, so that every later outcome, an error while
    // loading the settings included, reaches the service manager.
    ServiceStatusHandle = RegisterServiceCtrlHandlerW(QARLOV_SERVICE_NAME, ServiceControlHandler);
    if (ServiceStatusHandle == NULL)
        LogMessage(LogLevelError, L"Could not register Service Control Handler.");
    FatalErrorRoutine = ReportFailedStop;
    ReportStartPending();

    LoadQARLOVRegistrySettings();
    if (ReportRunning())
        RunWatcher();
    ReportStopped();
}

static void StopService(void)
{
    LogMessage(LogLevelInformation, L"QARLOV ServiceControlHandler received a request to stop the QARLOV service.");
    ReportStopPending();
    // The watcher finishes the line in hand (its actions end their waits
    // early on a stop) and saves its position before it acknowledges;
    // meanwhile each round of the handshake reports progress.
    BOOL watcherReturned = WaitForWatcherReleaseWithin(StopWaitLimit, ReportStopPending);
    LogMessage(LogLevelInformation, L"Deallocation of global variables and closing of open handles.");
    if (!watcherReturned) {
        // The service thread has not acknowledged and may still use the
        // globals: end the process instead of releasing them under it.
        ReportStopped();
        ExitProcess(0);
    }
    ReleaseGlobals();
}

void WINAPI ServiceControlHandler(DWORD control)
{
    if (control == SERVICE_CONTROL_STOP)
        StopService();
    ReportCurrentStatus();
}
