#include "monitor/monitor.h"
#include "config/scanposition.h"
#include "config/settings.h"
#include "monitor/eventwatcher.h"
#include "monitor/freshstart.h"
#include "monitor/logwatcher.h"
#include "core/log.h"
#include <sddl.h>

void RunWatcher(void)
{
    CompleteInterruptedScanPositionSave();
    StartWithoutScanPosition();
    if (MonitorSettings->TriggerStrategy == 0)
        WatchLogFile();
    else
        WatchEventLog();
}

// One name for the whole machine: the global namespace holds it for the
// service (session 0) and for a console run in any user's session alike.
static const wchar_t MonitorMutexName[] = L"Global\\QARLOV-Monitor";

// LocalSystem and the administrators may open it, whichever of them
// created it: the service then sees a console run and the other way round.
static const wchar_t MonitorMutexAccess[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)";

// Claims the machine's one monitor for this process, or ends it when
// another monitor holds the claim. The claim lasts while the returned handle
// is open (NULL: no claim could be made); the system drops it when the
// process ends, however it ends.
static HANDLE ClaimTheOnlyMonitor(void)
{
    SECURITY_ATTRIBUTES attributes = { sizeof(attributes), NULL, FALSE };
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(MonitorMutexAccess, SDDL_REVISION_1,
                                                              &attributes.lpSecurityDescriptor, NULL))
        attributes.lpSecurityDescriptor = NULL;  // the default access list: the same user still sees it
    HANDLE claim = CreateMutexW(&attributes, FALSE, MonitorMutexName);
    DWORD error = GetLastError();
    if (attributes.lpSecurityDescriptor != NULL)
        LocalFree(attributes.lpSecurityDescriptor);
    // Denied access means that one exists, made by a process whose access
    // list leaves this one out.
    if (error == ERROR_ALREADY_EXISTS || (claim == NULL && error == ERROR_ACCESS_DENIED)) {
        SetLastError(ERROR_SUCCESS);
        LogError(L"Another QARLOV monitor is already running on this machine.");
    }
    if (claim == NULL) {
        SetLastError(error);
        LogMessage(LogLevelWarning, L"Could not make sure that no other QARLOV monitor runs on this machine.");
    }
    return claim;
}

void RunMonitor(BOOL (*announceStart)(void))
{
    HANDLE claim = ClaimTheOnlyMonitor();
    LoadQARLOVRegistrySettings();
    PrintRuleSummary();
    if (announceStart == NULL || announceStart())
        RunWatcher();
    // Given up before the service reports stopped: a start right after the
    // stop must not find it still held by a process on its way out.
    if (claim != NULL)
        CloseHandle(claim);
}
