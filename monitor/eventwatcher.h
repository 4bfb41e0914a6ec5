// The event-log trigger: new "Symantec AntiVirus" records with event code
// 51 make the monitor read the day's file.
#pragma once
#include <windows.h>

void WatchEventLog(void);
EVENTLOGRECORD* ReadEventLogRecord(HANDLE eventLog, DWORD readFlags, DWORD recordNumber);
void SkipExistingEventLogRecords(HANDLE eventLog);
void ProcessNewEventLogRecords(HANDLE eventLog);

// The reading of today's file that the watcher runs at start and for each
// matching record: ProcessTodaysLogFile. Only tests replace it, to count
// the readings.
extern void (*ProcessTodaysLogFileRoutine)(void);
