#include "service/service.h"
#include "core/limits.h"
#include "core/log.h"
#include <strsafe.h>

void GetProgramPath(wchar_t* path)
{
    DWORD length = GetModuleFileNameW(NULL, path, PathLimit);
    if (length == 0 || length >= PathLimit)
        LogError(L"Could not get the path of this program.");
}

static SC_HANDLE OpenServiceManager(void)
{
    return OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
}

// Restart after every failure: a minute after the first two, then five
// minutes after each further one (the last action repeats), so that a
// service that fails again and again comes back once the cause is gone
// without filling the event log. The count starts again after a day without
// failures. A failure is a crash or an error entry, which reports the
// service stopped with a non-zero exit code.
static void SetRecoveryActions(SC_HANDLE service)
{
    enum { RestartDelay = 60000, LaterRestartDelay = 5 * 60000, ResetPeriod = 24 * 60 * 60 };
    SC_ACTION actions[3] = {
        { SC_ACTION_RESTART, RestartDelay },
        { SC_ACTION_RESTART, RestartDelay },
        { SC_ACTION_RESTART, LaterRestartDelay },
    };
    SERVICE_FAILURE_ACTIONSW failureActions;
    ZeroMemory(&failureActions, sizeof(failureActions));
    failureActions.dwResetPeriod = ResetPeriod;
    failureActions.cActions = 3;
    failureActions.lpsaActions = actions;
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions)) {
        LogMessage(LogLevelWarning, L"Could not set the recovery actions of the QARLOV service.");
        return;
    }
    // Windows XP knows no such flag and restarts after crashes only.
    SERVICE_FAILURE_ACTIONS_FLAG onErrorStops = { TRUE };
    ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onErrorStops);
    SetLastError(ERROR_SUCCESS);
}

BOOL InstallService(void)
{
    // The path is quoted: unquoted, a path with blanks such as
    // C:\Program Files\... would let the system start C:\Program.exe.
    wchar_t path[PathLimit];
    wchar_t quotedPath[PathLimit + 2];
    GetProgramPath(path);
    StringCchPrintfW(quotedPath, PathLimit + 2, L"\"%s\"", path);

    SC_HANDLE manager = OpenServiceManager();
    if (manager == NULL) {
        LogMessage(LogLevelWarning, L"Could not open Service Control Manager to install QARLOV service.");
        return FALSE;
    }
    // No account name: the service runs as LocalSystem.
    SC_HANDLE service = CreateServiceW(manager, QARLOV_SERVICE_NAME, QARLOV_SERVICE_NAME, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       quotedPath, NULL, NULL, NULL, NULL, NULL);
    if (service == NULL) {
        // A service that exists already is installed: the command's goal holds.
        DWORD error = GetLastError();
        LogMessage(LogLevelWarning, L"Can not create QARLOV service.");
        CloseServiceHandle(manager);
        return error == ERROR_SERVICE_EXISTS;
    }
    SetRecoveryActions(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    LogMessage(LogLevelInformation, L"QARLOV was installed as service.");
    return TRUE;
}

BOOL RemoveService(void)
{
    SC_HANDLE manager = OpenServiceManager();
    if (manager == NULL)
        LogError(L"Could not open Service Control Manager to deinstall QARLOV service.");
    SC_HANDLE service = OpenServiceW(manager, QARLOV_SERVICE_NAME, DELETE);
    if (service == NULL) {
        DWORD error = GetLastError();
        LogMessage(LogLevelWarning, L"Could not open QARLOV service for removal.");
        CloseServiceHandle(manager);
        return error == ERROR_SERVICE_DOES_NOT_EXIST;
    }
    BOOL removed = TRUE;
    if (!DeleteService(service)) {
        // One marked for deletion before goes as well, once nothing holds it.
        removed = GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
        LogMessage(LogLevelWarning, L"Could not deinstall QARLOV service.");
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    LogMessage(LogLevelInformation, L"QARLOV service was marked for deletion.");
    return removed;
}

// The commands wait for the service to leave a pending state, up to
// ServiceWaitLimit: -SP and -R return once the program file is free, and
// -SA tells whether the service came up. The service's wait hint sets how
// often its state is asked for.
static const DWORD ServiceWaitLimit = 30000, ShortestPoll = 100, LongestPoll = 1000;

static BOOL QueryServiceState(SC_HANDLE service, SERVICE_STATUS_PROCESS* status, const wchar_t* verb)
{
    DWORD bytesNeeded = 0;
    if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (LPBYTE)status, sizeof(*status), &bytesNeeded))
        return TRUE;
    LogMessage(LogLevelWarning, L"QueryServiceStatusEx failed (%d). Can not %s the QARLOV service.",
               (int)GetLastError(), verb);
    return FALSE;
}

static DWORD PollInterval(DWORD waitHint)
{
    DWORD interval = waitHint / 10;
    return interval < ShortestPoll ? ShortestPoll : (interval > LongestPoll ? LongestPoll : interval);
}

// Waits while the service is in pendingState, up to ServiceWaitLimit.
// FALSE when its state could not be asked for (a warning says why); the
// state reached is in status.
static BOOL WaitWhilePending(SC_HANDLE service, DWORD pendingState, SERVICE_STATUS_PROCESS* status,
                             const wchar_t* verb)
{
    DWORD started = GetTickCount();
    while (status->dwCurrentState == pendingState && GetTickCount() - started < ServiceWaitLimit) {
        Sleep(PollInterval(status->dwWaitHint));
        if (!QueryServiceState(service, status, verb))
            return FALSE;
    }
    return TRUE;
}

// Each returns TRUE when the request went to the Service Control Manager.
static BOOL RequestServiceStart(SC_HANDLE service, const SERVICE_STATUS_PROCESS* status)
{
    if (status->dwCurrentState != SERVICE_STOPPED && status->dwCurrentState != SERVICE_STOP_PENDING) {
        LogMessage(LogLevelWarning, L"Cannot start the QARLOV service because it is already running.");
        return FALSE;
    }
    if (!StartServiceW(service, 0, NULL))
        LogError(L"StartService failed (%d).", (int)GetLastError());
    return TRUE;
}

static BOOL RequestServiceStop(SC_HANDLE service, SERVICE_STATUS_PROCESS* status)
{
    if (status->dwCurrentState != SERVICE_RUNNING && status->dwCurrentState != SERVICE_START_PENDING) {
        LogMessage(LogLevelWarning, L"Cannot stop the QARLOV service because it is not started.");
        return FALSE;
    }
    // SERVICE_STATUS_PROCESS begins with the fields of SERVICE_STATUS.
    if (!ControlService(service, SERVICE_CONTROL_STOP, (LPSERVICE_STATUS)status))
        LogError(L"StopService failed (%d).", (int)GetLastError());
    return TRUE;
}

// The end of a start or a stop: TRUE when the service is in the state the
// command is for; the information only when this command asked for it.
static BOOL ReportStateReached(const SERVICE_STATUS_PROCESS* status, DWORD state, BOOL requested, const wchar_t* verb,
                               const wchar_t* done)
{
    if (status->dwCurrentState != state) {
        SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
        LogMessage(LogLevelWarning, L"The QARLOV service did not %s within 30 seconds.", verb);
        return FALSE;
    }
    if (requested)
        LogMessage(LogLevelInformation, L"QARLOV service was %s.", done);
    return TRUE;
}

// Starts the service, after a stop still under way has ended, and waits
// until it runs. TRUE when it runs.
static BOOL BringServiceUp(SC_HANDLE service, SERVICE_STATUS_PROCESS* status)
{
    if (!WaitWhilePending(service, SERVICE_STOP_PENDING, status, L"start"))
        return FALSE;
    BOOL requested = RequestServiceStart(service, status);
    if (requested && !QueryServiceState(service, status, L"start"))
        return FALSE;
    if (!WaitWhilePending(service, SERVICE_START_PENDING, status, L"start"))
        return FALSE;
    if (status->dwCurrentState == SERVICE_STOPPED) {
        // The reason the service gave; its own error entry tells more.
        SetLastError(status->dwWin32ExitCode);
        LogMessage(LogLevelWarning, L"The QARLOV service stopped while starting (exit code %lu, service exit code "
                                    L"%lu). Its error is in the Application event log.",
                   (unsigned long)status->dwWin32ExitCode, (unsigned long)status->dwServiceSpecificExitCode);
        return FALSE;
    }
    return ReportStateReached(status, SERVICE_RUNNING, requested, L"start", L"started");
}

// Stops the service, after a start still under way has ended (it takes no
// stop request before), and waits until it has stopped. TRUE when it has.
static BOOL BringServiceDown(SC_HANDLE service, SERVICE_STATUS_PROCESS* status)
{
    if (!WaitWhilePending(service, SERVICE_START_PENDING, status, L"stop"))
        return FALSE;
    BOOL requested = RequestServiceStop(service, status);
    if (!WaitWhilePending(service, SERVICE_STOP_PENDING, status, L"stop"))
        return FALSE;
    return ReportStateReached(status, SERVICE_STOPPED, requested, L"stop", L"stopped");
}

BOOL StartStopService(BOOL start)
{
    const wchar_t* doing = start ? L"starting" : L"stopping";
    SC_HANDLE manager = OpenServiceManager();
    if (manager == NULL) {
        LogMessage(LogLevelWarning, L"Could not open SCM for %s the QARLOV service.", doing);
        return FALSE;
    }
    SC_HANDLE service = OpenServiceW(manager, QARLOV_SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (service == NULL) {
        // A service that doesn't exist doesn't run either: stopping it is done.
        DWORD error = GetLastError();
        LogMessage(LogLevelWarning, L"Could not open the QARLOV service for %s.", doing);
        CloseServiceHandle(manager);
        return !start && error == ERROR_SERVICE_DOES_NOT_EXIST;
    }

    SERVICE_STATUS_PROCESS status;
    BOOL reached = QueryServiceState(service, &status, start ? L"start" : L"stop") &&
                   (start ? BringServiceUp(service, &status) : BringServiceDown(service, &status));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return reached;
}
