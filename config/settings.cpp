#include "config/settings.h"
#include "core/log.h"
#include "core/pending.h"
#include "core/runstate.h"
#include <stdlib.h>

MonitorSettingsRecord* CreateMonitorSettings(void)
{
    MonitorSettingsRecord* settings = (MonitorSettingsRecord*)calloc(1, sizeof(MonitorSettingsRecord));
    if (settings == NULL)
        ExitProcess(1);
    settings->DebugOutput = 1;
    return settings;
}

REGSAM ProgramKeyAccess(REGSAM access)
{
    return IsWow64 ? (access | KEY_WOW64_64KEY) : access;
}

void LoadQARLOVRegistrySettings(void) { NOT_BUILT_YET(L"LoadQARLOVRegistrySettings"); }
void PrintRuleSummary(void) { NOT_BUILT_YET(L"PrintRuleSummary"); }
void ParseTimeStamp(const wchar_t*, SYSTEMTIME*) { NOT_BUILT_YET(L"ParseTimeStamp"); }
