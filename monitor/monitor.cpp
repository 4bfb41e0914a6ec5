#include "monitor/monitor.h"
#include "config/scanposition.h"
#include "config/settings.h"
#include "monitor/eventwatcher.h"
#include "monitor/logwatcher.h"

void RunWatcher(void)
{
    CompleteInterruptedScanPositionSave();
    if (MonitorSettings->TriggerStrategy == 0)
        WatchLogFile();
    else
        WatchEventLog();
}

void RunMonitor(BOOL (*announceStart)(void))
{
    LoadQARLOVRegistrySettings();
    PrintRuleSummary();
    if (announceStart == NULL || announceStart())
        RunWatcher();
}
