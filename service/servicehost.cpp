#include "service/service.h"
#include "config/settings.h"
#include "core/entry.h"
#include "core/log.h"
#include "core/runstate.h"

// The service thread (ServiceMain) and the dispatcher thread
// (ServiceControlHandler) both change ServiceStatus and report it. Every
// change is made under StatusLock, and every report other than stopped is
// sent while the lock is still held, so those reports go out in the order of
// the changes. Stopped is final: no change leaves that state. The stopped
// report is sent after the lock is released: the system may hold it up
// until a running control handler has returned, and that handler may be
// waiting for the lock. It can't overtake anything: a report of another
// state was sent before the lock was left to set stopped, and every report
// after that says stopped too.
static CRITICAL_SECTION StatusLock;
static const BOOL StatusLockReady = (InitializeCriticalSection(&StatusLock), TRUE);

static void ClearFixedFieldsLocked(void)
{
    ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    ServiceStatus.dwWin32ExitCode = 0;
    ServiceStatus.dwServiceSpecificExitCode = 0;
    ServiceStatus.dwWaitHint = 0;
}

static BOOL ReportStatusLocked(void)
{
    ClearFixedFieldsLocked();
    return SetServiceStatus(ServiceStatusHandle, &ServiceStatus);
}

static BOOL IsStopRequestedLocked(void)
{
    return ServiceStatus.dwCurrentState == SERVICE_STOP_PENDING || ServiceStatus.dwCurrentState == SERVICE_STOPPED;
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
        reported = ReportStatusLocked();
    }
    LeaveCriticalSection(&StatusLock);
    return reported;
}

static void ReportStopPending(void)
{
    EnterCriticalSection(&StatusLock);
    if (ServiceStatus.dwCurrentState != SERVICE_STOPPED) {
        ServiceStatus.dwCurrentState = SERVICE_STOP_PENDING;
        ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP;
        ServiceStatus.dwCheckPoint += 1;
        ReportStatusLocked();
    }
    LeaveCriticalSection(&StatusLock);
}

static void ReportStopped(void)
{
    EnterCriticalSection(&StatusLock);
    ServiceStatus.dwCurrentState = SERVICE_STOPPED;
    ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    ServiceStatus.dwCheckPoint = 0;
    ClearFixedFieldsLocked();
    SERVICE_STATUS stopped = ServiceStatus;
    LeaveCriticalSection(&StatusLock);
    SetServiceStatus(ServiceStatusHandle, &stopped);
}

// Re-reports the current state; a pending state advances its check point.
static void ReportCurrentStatus(void)
{
    EnterCriticalSection(&StatusLock);
    DWORD state = ServiceStatus.dwCurrentState;
    ServiceStatus.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED)
        ServiceStatus.dwCheckPoint = 0;
    else
        ServiceStatus.dwCheckPoint += 1;
    ReportStatusLocked();
    LeaveCriticalSection(&StatusLock);
}

void WINAPI ServiceMain(DWORD argumentCount, LPWSTR* arguments)
{
    LogMessage(LogLevelInformation, L"QARLOV ServiceMain called has been called by the Service Control Manager.");
    LoadQARLOVRegistrySettings();
    ServiceStatusHandle = RegisterServiceCtrlHandlerW(QARLOV_SERVICE_NAME, ServiceControlHandler);
    if (ServiceStatusHandle == NULL)
        LogMessage(LogLevelError, L"Could not register Service Control Handler.");

    // The settings are loaded before the first report, so it says running.
    if (ReportRunning())
        RunWatcher();
    ReportStopped();
}

static void StopService(void)
{
    LogMessage(LogLevelInformation, L"QARLOV ServiceControlHandler received a request to stop the QARLOV service.");
    ReportStopPending();
    BOOL watcherReturned = WaitForWatcherRelease();
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
