// The event-log trigger: new "Symantec AntiVirus" records with event code
// 51 make the monitor read the day's file.
#pragma once
#include <windows.h>

// What the event-log watcher works with.
typedef struct EventLogWatch {
    HANDLE Log;          // the open "Symantec AntiVirus" event log
    HANDLE ChangeEvent;  // signalled by the system when records are written
    BOOL RetryReading;   // the last reading of the day file failed: try again
} EventLogWatch;

void WatchEventLog(void);

// One record, owned by the caller, or NULL when there is none to read: at
// the end of the log (last error ERROR_HANDLE_EOF) or because the log was
// cleared since the handle was opened (ERROR_EVENTLOG_FILE_CHANGED).
EVENTLOGRECORD* ReadEventLogRecord(HANDLE eventLog, DWORD readFlags, DWORD recordNumber);
void SkipExistingEventLogRecords(HANDLE eventLog);

// Reads the records written since the last read and reads the day file for
// each detection among them, until the end of the log or a stop request. A
// log that was cleared meanwhile is opened anew and read from its first
// record.
void ProcessNewEventLogRecords(EventLogWatch* watch);

// The reading of today's file that the watcher runs at start and for each
// matching record: ProcessTodaysLogFile (FALSE when the reading failed and
// is to be tried again). Only tests replace it, to count the readings.
extern BOOL (*ProcessTodaysLogFileRoutine)(void);
