#include "monitor/eventwatcher.h"
#include "core/log.h"
#include "core/runstate.h"
#include "core/seams.h"
#include "monitor/logwatcher.h"
#include <stdlib.h>

#define ANTIVIRUS_EVENT_LOG      L"Symantec AntiVirus"
#define ANTIVIRUS_EVENT_SOURCE   L"Symantec AntiVirus"
#define DETECTION_FINISHED_EVENT 51

void (*ProcessTodaysLogFileRoutine)(void) = ProcessTodaysLogFile;

EVENTLOGRECORD* ReadEventLogRecord(HANDLE eventLog, DWORD readFlags, DWORD recordNumber)
{
    DWORD bufferSize = sizeof(EVENTLOGRECORD);
    EVENTLOGRECORD* record = (EVENTLOGRECORD*)malloc(bufferSize);
    if (record == NULL)
        LogMessage(LogLevelError, L"Could not allocate a buffer for reading the event log.");

    DWORD bytesRead = 0, bytesNeeded = 0;
    if (Platform.ReadEventLog(eventLog, readFlags, recordNumber, record, bufferSize, &bytesRead, &bytesNeeded))
        return record;

    DWORD error = GetLastError();
    if (error == ERROR_HANDLE_EOF) {
        free(record);
        return NULL;
    }
    if (error != ERROR_INSUFFICIENT_BUFFER)
        LogMessage(LogLevelError, L"First call to ReadEventLog failed with error code %d.", (int)error);

    // The record did not fit: read exactly that one record again.
    EVENTLOGRECORD* larger = (EVENTLOGRECORD*)realloc(record, bytesNeeded);
    if (larger == NULL)
        LogMessage(LogLevelError, L"Could not re-allocate a buffer for reading the event log.");
    record = larger;
    if (!Platform.ReadEventLog(eventLog, readFlags, recordNumber, record, bytesNeeded, &bytesRead, &bytesNeeded))
        LogMessage(LogLevelError, L"Second call to ReadEventLog failed.");
    return record;
}

void SkipExistingEventLogRecords(HANDLE eventLog)
{
    DWORD oldest = 0, count = 0;
    if (!Platform.GetOldestEventLogRecord(eventLog, &oldest))
        LogMessage(LogLevelError, L"Could not retrieve the oldest record number from the event log.");
    if (!Platform.GetNumberOfEventLogRecords(eventLog, &count))
        LogMessage(LogLevelError, L"Could not retrieve the last number of record number in the event log.");

    // Reading the newest record moves the read position behind it; later
    // sequential reads return only records written from now on.
    free(ReadEventLogRecord(eventLog, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, oldest + count - 1));
}

// The source name is the NUL-terminated text right behind the fixed part;
// it must end within the record.
static BOOL IsDetectionFinishedRecord(const EVENTLOGRECORD* record)
{
    if (LOWORD(record->EventID) != DETECTION_FINISHED_EVENT || record->Length <= sizeof(EVENTLOGRECORD))
        return FALSE;
    const wchar_t* source = (const wchar_t*)((const BYTE*)record + sizeof(EVENTLOGRECORD));
    size_t maxLength = (record->Length - sizeof(EVENTLOGRECORD)) / sizeof(wchar_t);
    size_t length = 0;
    while (length < maxLength && source[length] != L'\0')
        ++length;
    return length < maxLength && lstrcmpiW(source, ANTIVIRUS_EVENT_SOURCE) == 0;
}

void ProcessNewEventLogRecords(HANDLE eventLog)
{
    for (;;) {
        EVENTLOGRECORD* record = ReadEventLogRecord(eventLog, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0);
        if (record == NULL)
            return;
        if (IsDetectionFinishedRecord(record))
            ProcessTodaysLogFileRoutine();
        free(record);
    }
}

static HANDLE OpenAntivirusEventLog(HANDLE changeEvent)
{
    HANDLE eventLog = Platform.OpenEventLog(NULL, ANTIVIRUS_EVENT_LOG);
    if (eventLog == NULL)
        LogMessage(LogLevelError, L"Could not open Symantec AntiVirus event log.");
    SkipExistingEventLogRecords(eventLog);
    if (!Platform.NotifyChangeEventLog(eventLog, changeEvent))
        LogMessage(LogLevelError, L"NotifyChangeEventLog failed.");
    return eventLog;
}

// Serves change notifications until ShutDownEvent is signalled.
static void WaitForEventLogChanges(HANDLE eventLog, HANDLE changeEvent)
{
    while (WaitForChangeOrShutDown(changeEvent)) {
        // Reset before reading: a record written while this batch is
        // processed signals the event again and is served next, instead of
        // waiting for some later record.
        ResetEvent(changeEvent);
        ProcessNewEventLogRecords(eventLog);
    }
}

void WatchEventLog(void)
{
    HANDLE changeEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (changeEvent == NULL)
        LogMessage(LogLevelError, L"Could not create change notification event in WatchEventLog.");
    // The records present now are skipped and the notification is armed
    // before the day file is read: a detection recorded during that first
    // reading triggers a reading of its own instead of waiting unseen for
    // some later record.
    HANDLE eventLog = OpenAntivirusEventLog(changeEvent);

    // Events written while the program was not running come first.
    ProcessTodaysLogFileRoutine();
    if (!CreateShutDownEvent())
        LogMessage(LogLevelError, L"Could not create ShutDownEvent in WatchEventLog.");

    LogMessage(LogLevelInformation, L"Monitoring event log.\n");
    WaitForEventLogChanges(eventLog, changeEvent);
    LogMessage(LogLevelInformation, L"Shutting down event monitor routine. QARLOV is about to stop.");

    Platform.CloseEventLog(eventLog);
    CloseHandle(changeEvent);
    AcknowledgeShutDown();
}
