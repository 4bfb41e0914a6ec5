#include "monitor/eventwatcher.h"
#include "core/log.h"
#include "core/runstate.h"
#include "core/seams.h"
#include "monitor/logwatcher.h"
#include <stdlib.h>

#define ANTIVIRUS_EVENT_LOG      L"Symantec AntiVirus"
#define ANTIVIRUS_EVENT_SOURCE   L"Symantec AntiVirus"
#define DETECTION_FINISHED_EVENT 51

BOOL (*ProcessTodaysLogFileRoutine)(void) = ProcessTodaysLogFile;

EVENTLOGRECORD* ReadEventLogRecord(HANDLE eventLog, DWORD readFlags, DWORD recordNumber)
{
    DWORD bufferSize = sizeof(EVENTLOGRECORD);
    EVENTLOGRECORD* record = (EVENTLOGRECORD*)malloc(bufferSize);
    if (record == NULL)
        LogError(L"Could not allocate a buffer for reading the event log.");

    DWORD bytesRead = 0, bytesNeeded = 0;
    if (Platform.ReadEventLog(eventLog, readFlags, recordNumber, record, bufferSize, &bytesRead, &bytesNeeded))
        return record;

    DWORD error = GetLastError();
    if (error == ERROR_HANDLE_EOF || error == ERROR_EVENTLOG_FILE_CHANGED) {
        free(record);
        SetLastError(error);  // tells the caller which of the two it was
        return NULL;
    }
    if (error != ERROR_INSUFFICIENT_BUFFER)
        LogError(L"First call to ReadEventLog failed with error code %d.", (int)error);

    // The record did not fit: read exactly that one record again.
    EVENTLOGRECORD* larger = (EVENTLOGRECORD*)realloc(record, bytesNeeded);
    if (larger == NULL)
        LogError(L"Could not re-allocate a buffer for reading the event log.");
    record = larger;
    if (!Platform.ReadEventLog(eventLog, readFlags, recordNumber, record, bytesNeeded, &bytesRead, &bytesNeeded))
        LogError(L"Second call to ReadEventLog failed.");
    return record;
}

void SkipExistingEventLogRecords(HANDLE eventLog)
{
    DWORD oldest = 0, count = 0;
    if (!Platform.GetOldestEventLogRecord(eventLog, &oldest))
        LogError(L"Could not retrieve the oldest record number from the event log.");
    if (!Platform.GetNumberOfEventLogRecords(eventLog, &count))
        LogError(L"Could not retrieve the last number of record number in the event log.");

    // An empty log has nothing to skip: its first record is a new one.
    if (count == 0)
        return;
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

static HANDLE OpenAntivirusEventLog(void)
{
    HANDLE eventLog = Platform.OpenEventLog(NULL, ANTIVIRUS_EVENT_LOG);
    if (eventLog == NULL)
        LogError(L"Could not open Symantec AntiVirus event log.");
    return eventLog;
}

static void ArmEventLogNotification(const EventLogWatch* watch)
{
    if (!Platform.NotifyChangeEventLog(watch->Log, watch->ChangeEvent))
        LogError(L"NotifyChangeEventLog failed.");
}

// A log cleared while we watch answers the old handle only with
// ERROR_EVENTLOG_FILE_CHANGED. A new handle reads from the first record on,
// and every record in the log now was written after the clear.
static void ReopenClearedEventLog(EventLogWatch* watch)
{
    LogMessage(LogLevelInformation,
               L"The Symantec AntiVirus event log was cleared. Reading it again from its first record.");
    Platform.CloseEventLog(watch->Log);
    watch->Log = OpenAntivirusEventLog();
    ArmEventLogNotification(watch);
}

void ProcessNewEventLogRecords(EventLogWatch* watch)
{
    BOOL reopened = FALSE;
    // A stop ends the batch between two records; the detections still
    // unread are in the day file, which the next start reads.
    while (!IsStopRequested()) {
        EVENTLOGRECORD* record =
            ReadEventLogRecord(watch->Log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0);
        if (record == NULL) {
            // Reopened once per batch at most: a log that reports a clear
            // again at once is served at its next change.
            if (GetLastError() != ERROR_EVENTLOG_FILE_CHANGED || reopened)
                return;
            ReopenClearedEventLog(watch);
            reopened = TRUE;
            continue;
        }
        if (IsDetectionFinishedRecord(record))
            watch->RetryReading = !ProcessTodaysLogFileRoutine();
        free(record);
    }
}

// Serves change notifications until a stop is requested. After a failed
// reading the wait ends after a few seconds at the latest, to read again.
static void WaitForEventLogChanges(EventLogWatch* watch)
{
    for (;;) {
        DWORD timeout = watch->RetryReading ? ReadingRetryInterval : INFINITE;
        WaitOutcome outcome = WaitForChangeOrShutDown(watch->ChangeEvent, timeout);
        if (outcome == WaitStopped)
            return;
        if (outcome == WaitTimedOut) {
            watch->RetryReading = !ProcessTodaysLogFileRoutine();
            continue;
        }
        // Reset before reading: a record written while this batch is
        // processed signals the event again and is served next, instead of
        // waiting for some later record.
        ResetEvent(watch->ChangeEvent);
        ProcessNewEventLogRecords(watch);
    }
}

void WatchEventLog(void)
{
    // First of all: a stop requested during the reading at start ends it.
    if (!CreateShutDownEvent())
        LogError(L"Could not create ShutDownEvent in WatchEventLog.");
    EventLogWatch watch;
    watch.ChangeEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (watch.ChangeEvent == NULL)
        LogError(L"Could not create change notification event in WatchEventLog.");
    // The records present now are skipped and the notification is armed
    // before the day file is read: a detection recorded during that first
    // reading triggers a reading of its own instead of waiting unseen for
    // some later record.
    watch.Log = OpenAntivirusEventLog();
    SkipExistingEventLogRecords(watch.Log);
    ArmEventLogNotification(&watch);

    // Events written while the program was not running come first.
    watch.RetryReading = !ProcessTodaysLogFileRoutine();

    LogMessage(LogLevelInformation, L"Monitoring event log.\n");
    WaitForEventLogChanges(&watch);
    LogMessage(LogLevelInformation, L"Shutting down event monitor routine. QARLOV is about to stop.");

    Platform.CloseEventLog(watch.Log);
    CloseHandle(watch.ChangeEvent);
    AcknowledgeShutDown();
}
