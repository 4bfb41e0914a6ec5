#include "service/service.h"
#include "core/log.h"
#include "core/runstate.h"
#include "monitor/monitor.h"

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
SERVICE_STATUS ServiceStatus;
SERVICE_STATUS_HANDLE ServiceStatusHandle = NULL;
static CRITICAL_SECTION StatusLock;
static const BOOL StatusLockReady = (InitializeCriticalSection(&StatusLock), TRUE);

// The release of the process-wide items once the watcher has returned.
static void (*ReleaseRoutine)(void) = NULL;

enum {
    StartWaitHint = 10000,  // loading the settings reads only the registry
    StopWaitHint = 3000,    // a new check point comes every 1 to 2 seconds
    StopWaitLimit = 20000   // then the process ends without the watcher
};

// Exit codes of a service that ended on an error entry.
static const DWORD FailedExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
static const DWORD FailedSpecificExitCode = 1;

// Stands for the state the service is in, for a report that repeats it.
static const DWORD CurrentState = 0;

static DWORD WaitHintOf(DWORD state)
{
    if (state == SERVICE_START_PENDING)
        return StartWaitHint;
    return state == SERVICE_STOP_PENDING ? StopWaitHint : 0;
}

// Sets the service status and reports it; the one routine for every state.
// A pending state advances the check point, which tells the service manager
// that the step is still making progress; running and stopped clear it.
// Returns TRUE when the report was sent.
//
// Stopped is final: the state stays stopped and nothing more is sent. A
// running report after a stop request is dropped (FALSE), so a stop under
// way is not undone. Every report but stopped goes out while the lock is
// held, in the order of the changes; stopped goes out after the lock is
// released, because the system may hold it up until a running control
// handler has returned, and that handler may be waiting for the lock.
static BOOL ReportServiceStatus(DWORD state, DWORD win32ExitCode, DWORD specificExitCode)
{
    EnterCriticalSection(&StatusLock);
    DWORD current = ServiceStatus.dwCurrentState;
    if (state == SERVICE_RUNNING && current == SERVICE_STOP_PENDING) {
        LeaveCriticalSection(&StatusLock);
        return FALSE;
    }
    BOOL stoppedBefore = current == SERVICE_STOPPED;
    if (stoppedBefore || state == CurrentState)
        state = current;
    ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    ServiceStatus.dwCurrentState = state;
    ServiceStatus.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    ServiceStatus.dwWin32ExitCode = win32ExitCode;
    ServiceStatus.dwServiceSpecificExitCode = specificExitCode;
    ServiceStatus.dwWaitHint = WaitHintOf(state);
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED)
        ServiceStatus.dwCheckPoint = 0;
    else
        ServiceStatus.dwCheckPoint += 1;
    SERVICE_STATUS status = ServiceStatus;
    BOOL sent = FALSE;
    if (state != SERVICE_STOPPED)
        sent = SetServiceStatus(ServiceStatusHandle, &status);
    LeaveCriticalSection(&StatusLock);
    if (state == SERVICE_STOPPED && !stoppedBefore && ServiceStatusHandle != NULL)
        sent = SetServiceStatus(ServiceStatusHandle, &status);
    return sent;
}

static BOOL ReportRunning(void)
{
    return ReportServiceStatus(SERVICE_RUNNING, 0, 0);
}

static void ReportStopPending(void)
{
    ReportServiceStatus(SERVICE_STOP_PENDING, 0, 0);
}

void ReportServiceFailure(void)
{
    ReportServiceStatus(SERVICE_STOPPED, FailedExitCode, FailedSpecificExitCode);
}

void SetServiceReleaseRoutine(void (*release)(void))
{
    ReleaseRoutine = release;
}

void WINAPI ServiceMain(DWORD argumentCount, LPWSTR* arguments)
{
    LogMessage(LogLevelInformation, L"QARLOV ServiceMain called has been called by the Service Control Manager.");
    // The handler comes first, so that every later outcome, an error while
    // loading the settings included, reaches the service manager.
    ServiceStatusHandle = RegisterServiceCtrlHandlerW(QARLOV_SERVICE_NAME, ServiceControlHandler);
    if (ServiceStatusHandle == NULL)
        LogError(L"Could not register Service Control Handler.");
    ReportServiceStatus(SERVICE_START_PENDING, 0, 0);
    RunMonitor(ReportRunning);
    ReportServiceStatus(SERVICE_STOPPED, 0, 0);
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
        ReportServiceStatus(SERVICE_STOPPED, 0, 0);
        ExitProcess(0);
    }
    if (ReleaseRoutine != NULL)
        ReleaseRoutine();
}

void WINAPI ServiceControlHandler(DWORD control)
{
    if (control == SERVICE_CONTROL_STOP)
        StopService();
    ReportServiceStatus(CurrentState, 0, 0);
}
