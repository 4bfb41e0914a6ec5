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

// Restart a minute after a failure, twice; the count starts again after a
// day without failures. A failure is a crash or an error entry, which
// reports the service stopped with a non-zero exit code.
static void SetRecoveryActions(SC_HANDLE service)
{
    enum { RestartDelay = 60000, ResetPeriod = 24 * 60 * 60 };
    SC_ACTION actions[3] = {
        { SC_ACTION_RESTART, RestartDelay },
        { SC_ACTION_RESTART, RestartDelay },
        { SC_ACTION_NONE, 0 },
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

void InstallService(void)
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
        return;
    }
    // No account name: the service runs as LocalSystem.
    SC_HANDLE service = CreateServiceW(manager, QARLOV_SERVICE_NAME, QARLOV_SERVICE_NAME, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       quotedPath, NULL, NULL, NULL, NULL, NULL);
    if (service == NULL) {
        LogMessage(LogLevelWarning, L"Can not create QARLOV service.");
        CloseServiceHandle(manager);
        return;
    }
    SetRecoveryActions(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    LogMessage(LogLevelInformation, L"QARLOV was installed as service.");
}

void RemoveService(void)
{
    SC_HANDLE manager = OpenServiceManager();
    if (manager == NULL)
        LogError(L"Could not open Service Control Manager to deinstall QARLOV service.");
    SC_HANDLE service = OpenServiceW(manager, QARLOV_SERVICE_NAME, DELETE);
    if (service == NULL) {
        LogMessage(LogLevelWarning, L"Could not open QARLOV service for removal.");
        CloseServiceHandle(manager);
        return;
    }
    if (!DeleteService(service))
        LogMessage(LogLevelWarning, L"Could not deinstall QARLOV service.");
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    LogMessage(LogLevelInformation, L"QARLOV service was marked for deletion.");
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

void StartStopService(BOOL start)
{
    const wchar_t* doing = start ? L"starting" : L"stopping";
    SC_HANDLE manager = OpenServiceManager();
    if (manager == NULL) {
        LogMessage(LogLevelWarning, L"Could not open SCM for %s the QARLOV service.", doing);
        return;
    }
    SC_HANDLE service = OpenServiceW(manager, QARLOV_SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (service == NULL) {
        LogMessage(LogLevelWarning, L"Could not open the QARLOV service for %s.", doing);
        CloseServiceHandle(manager);
        return;
    }

    SERVICE_STATUS_PROCESS status;
    DWORD bytesNeeded = 0;
    BOOL requested = FALSE;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (LPBYTE)&status, sizeof(status), &bytesNeeded))
        LogMessage(LogLevelWarning, L"QueryServiceStatusEx failed (%d). Can not %s the QARLOV service.",
                   (int)GetLastError(), start ? L"start" : L"stop");
    else
        requested = start ? RequestServiceStart(service, &status) : RequestServiceStop(service, &status);

    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    // The request is not waited for: the service may still be on its way.
    if (requested)
        LogMessage(LogLevelInformation, L"QARLOV service was %s.", start ? L"started" : L"stopped");
}
