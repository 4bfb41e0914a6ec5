// The event-log trigger: new "Symantec AntiVirus" records with event code
// 51 make the monitor read the day's file.
#pragma once
#include <windows.h>

void WatchEventLog(void);
EVENTLOGRECORD* ReadEventLogRecord(HANDLE eventLog, DWORD readFlags, DWORD recordNumber);
void SkipExistingEventLogRecords(HANDLE eventLog);
void ProcessNewEventLogRecords(HANDLE eventLog);
