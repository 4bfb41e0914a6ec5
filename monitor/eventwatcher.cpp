#include "monitor/eventwatcher.h"
#include "core/pending.h"

void WatchEventLog(void) { NOT_BUILT_YET(L"WatchEventLog"); }
EVENTLOGRECORD* ReadEventLogRecord(HANDLE, DWORD, DWORD) { NOT_BUILT_YET(L"ReadEventLogRecord"); return NULL; }
void SkipExistingEventLogRecords(HANDLE) { NOT_BUILT_YET(L"SkipExistingEventLogRecords"); }
void ProcessNewEventLogRecords(HANDLE) { NOT_BUILT_YET(L"ProcessNewEventLogRecords"); }
