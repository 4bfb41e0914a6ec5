// Running the monitor: the settings loaded, then the configured watcher
// until a stop request.
#pragma once
#include <windows.h>

// Finishes a scan-position save that an ended process left unfinished,
// starts from now when there is no scan position, then runs the configured
// watcher (log folder or event log) until a stop request.
void RunWatcher(void);

// The start shared by service mode and console mode: makes sure that no
// other monitor runs on the machine (an error entry ends this one if one
// does), loads the settings, prints the rule summary (with a console), then
// runs the watcher, unless announceStart (may be NULL) returns FALSE.
void RunMonitor(BOOL (*announceStart)(void));
