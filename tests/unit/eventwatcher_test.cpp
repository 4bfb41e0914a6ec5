// The event-log trigger, driven by a fake event log in place of the system's
// (Wine only stubs reading and watching an event log): which records
// trigger, an empty log, a log cleared meanwhile, a stop that wins over a
// busy log, and a failed reading tried again. The reading of today's file is
// counted instead of done.
#include "core/runstate.h"
#include "core/seams.h"
#include "monitor/eventwatcher.h"
#include "monitor/logwatcher.h"
#include "tests/unit/error_exit.h"
#include "tests/unit/test_support.h"
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>
#include <string>
#include <vector>

using ::testing::HasSubstr;

namespace {

struct FakeRecord {
    std::wstring Source;
    DWORD EventId;
};

// An event log with record numbers Oldest, Oldest + 1, ... and one read
// position, answering as the system does: a record that doesn't fit the
// buffer gets ERROR_INSUFFICIENT_BUFFER with the size needed, reading past
// the newest record ERROR_HANDLE_EOF, a handle opened before a clear
// ERROR_EVENTLOG_FILE_CHANGED.
struct FakeEventLog {
    DWORD Oldest = 1;
    std::vector<FakeRecord> Records;
    size_t NextRead = 0;
    DWORD MissingRecordError = ERROR_HANDLE_EOF;  // seek to a record that isn't there
    DWORD FailReadNumber = 0;                     // this read (1-based) fails ...
    DWORD FailReadError = 0;                      // ... with this code
    BOOL OldestFails = FALSE, NumberFails = FALSE, NotifyFails = FALSE, OpenFails = FALSE;
    BOOL Cleared = FALSE;                 // cleared since the last opening
    int RecordsArrivingAtEndOfBatch = 0;  // one each time the reader meets the end

    DWORD Reads = 0;
    std::vector<DWORD> BufferSizes;
    std::vector<DWORD> SeekRecordNumbers;
    std::wstring OpenedLogName;
    BOOL OpenedWithServer = FALSE;
    HANDLE ChangeEvent = NULL;
    HANDLE NotifyCalled = NULL;
    int Closes = 0;
};

FakeEventLog* Fake = NULL;
HANDLE const FakeLogHandle = (HANDLE)0x5EB;
volatile LONG Readings = 0;
HANDLE ReadingDone = NULL;
HANDLE ShutDownEventAtFirstReading = NULL;

std::vector<BYTE> SerializedRecord(const FakeRecord& fake, DWORD number)
{
    std::wstring strings = fake.Source + L'\0' + L"HOST01" + L'\0';
    DWORD length = (DWORD)(sizeof(EVENTLOGRECORD) + strings.size() * sizeof(wchar_t));
    length = (length + 3) / 4 * 4 + sizeof(DWORD);
    std::vector<BYTE> bytes(length, 0);
    EVENTLOGRECORD* record = (EVENTLOGRECORD*)&bytes[0];
    record->Length = length;
    record->Reserved = 0x654c664c;
    record->RecordNumber = number;
    record->EventID = fake.EventId;
    record->EventType = EVENTLOG_INFORMATION_TYPE;
    memcpy(&bytes[sizeof(EVENTLOGRECORD)], strings.data(), strings.size() * sizeof(wchar_t));
    memcpy(&bytes[length - sizeof(DWORD)], &length, sizeof(DWORD));
    return bytes;
}

HANDLE WINAPI FakeOpen(LPCWSTR server, LPCWSTR name)
{
    Fake->OpenedWithServer = server != NULL;
    Fake->OpenedLogName = name;
    Fake->Cleared = FALSE;
    Fake->NextRead = 0;  // a new handle reads from the oldest record
    return Fake->OpenFails ? NULL : FakeLogHandle;
}

BOOL WINAPI FakeOldest(HANDLE, PDWORD oldest)
{
    *oldest = Fake->Oldest;
    return !Fake->OldestFails;
}

BOOL WINAPI FakeNumber(HANDLE, PDWORD count)
{
    *count = (DWORD)Fake->Records.size();
    return !Fake->NumberFails;
}

BOOL FailRead(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

BOOL WINAPI FakeRead(HANDLE log, DWORD flags, DWORD recordNumber, LPVOID buffer, DWORD bytesToRead, DWORD* bytesRead,
                     DWORD* bytesNeeded)
{
    EXPECT_EQ(FakeLogHandle, log);
    ++Fake->Reads;
    Fake->BufferSizes.push_back(bytesToRead);
    *bytesRead = 0;
    if (Fake->Reads == Fake->FailReadNumber)
        return FailRead(Fake->FailReadError);
    if (Fake->Cleared)
        return FailRead(ERROR_EVENTLOG_FILE_CHANGED);

    size_t index = Fake->NextRead;
    if (flags & EVENTLOG_SEEK_READ) {
        Fake->SeekRecordNumbers.push_back(recordNumber);
        if (recordNumber < Fake->Oldest || recordNumber - Fake->Oldest >= Fake->Records.size())
            return FailRead(Fake->MissingRecordError);
        index = recordNumber - Fake->Oldest;
    } else if (index >= Fake->Records.size()) {
        if (Fake->RecordsArrivingAtEndOfBatch > 0) {
            // Written just after the reader saw the end of the log.
            --Fake->RecordsArrivingAtEndOfBatch;
            Fake->Records.push_back({ L"Symantec AntiVirus", 51 });
            SetEvent(Fake->ChangeEvent);
        }
        return FailRead(ERROR_HANDLE_EOF);
    }

    std::vector<BYTE> bytes = SerializedRecord(Fake->Records[index], Fake->Oldest + (DWORD)index);
    if (bytes.size() > bytesToRead) {
        *bytesNeeded = (DWORD)bytes.size();
        return FailRead(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(buffer, bytes.data(), bytes.size());
    *bytesRead = (DWORD)bytes.size();
    Fake->NextRead = index + 1;
    return TRUE;
}

BOOL WINAPI FakeNotify(HANDLE, HANDLE event)
{
    Fake->ChangeEvent = event;
    SetEvent(Fake->NotifyCalled);
    return !Fake->NotifyFails;
}

BOOL WINAPI FakeClose(HANDLE log)
{
    EXPECT_EQ(FakeLogHandle, log);
    ++Fake->Closes;
    return TRUE;
}

// The records written since the last read of the fake log's handle.
void ProcessNewRecordsOfTheFakeLog(void)
{
    EventLogWatch watch = { FakeLogHandle, NULL, FALSE };
    ProcessNewEventLogRecords(&watch);
}

BOOL CountReading(void)
{
    if (Readings == 0)
        ShutDownEventAtFirstReading = ShutDownEvent;
    InterlockedIncrement(&Readings);
    SetEvent(ReadingDone);
    return TRUE;
}

class EventWatcherTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetMonitorSettings();
        Fake = &Log;
        Log.NotifyCalled = CreateEventW(NULL, TRUE, FALSE, NULL);
        ReadingDone = CreateEventW(NULL, FALSE, FALSE, NULL);
        SavedPlatform = Platform;
        Platform.OpenEventLog = FakeOpen;
        Platform.GetOldestEventLogRecord = FakeOldest;
        Platform.GetNumberOfEventLogRecords = FakeNumber;
        Platform.ReadEventLog = FakeRead;
        Platform.NotifyChangeEventLog = FakeNotify;
        Platform.CloseEventLog = FakeClose;
        ProcessTodaysLogFileRoutine = CountReading;
        Readings = 0;
        ShutDownEventAtFirstReading = NULL;
        WatcherStopped = 0;
    }

    void TearDown() override
    {
        StopRequested = 0;
        WatcherStopped = 0;
        Platform = SavedPlatform;
        ProcessTodaysLogFileRoutine = ProcessTodaysLogFile;
        CloseHandle(Log.NotifyCalled);
        CloseHandle(ReadingDone);
        Fake = NULL;
    }

    // Records written after the watcher has skipped the existing ones.
    int ReadingsForNewRecords(const std::vector<FakeRecord>& records)
    {
        SkipExistingEventLogRecords(FakeLogHandle);
        Log.Records.insert(Log.Records.end(), records.begin(), records.end());
        Readings = 0;
        ProcessNewRecordsOfTheFakeLog();
        return Readings;
    }

    FakeEventLog Log;
    PlatformCalls SavedPlatform;
};

const FakeRecord Detection = { L"Symantec AntiVirus", 51 };

TEST_F(EventWatcherTest, OnlyDetectionFinishedRecordsOfTheAntivirusSourceTrigger)
{
    struct Case {
        const wchar_t* Source;
        DWORD EventId;
        int Readings;
    } cases[] = {
        { L"Symantec AntiVirus", 51, 1 },
        { L"SYMANTEC ANTIVIRUS", 51, 1 },
        { L"symantec antivirus", 51, 1 },
        { L"Symantec AntiVirus", 50, 0 },
        { L"Symantec AntiVirus", 52, 0 },
        { L"Symantec AntiVirus", 0xC0000033, 1 },  // severity bits
        { L"Symantec AntiVirus", 0x60070033, 1 },  // customer and facility bits
        { L"Symantec AntiVirus", 0x00000133, 0 },  // low 16 bits are 307
        { L"Symantec AntiVirus Service", 51, 0 },
        { L"Symantec", 51, 0 },
        { L"Application Error", 51, 0 },
        { L"", 51, 0 },
    };
    HANDLE notifyCalled = Log.NotifyCalled;
    for (const Case& c : cases) {
        Log = FakeEventLog();
        Log.NotifyCalled = notifyCalled;
        Log.Records = { { L"Other", 1 } };
        EXPECT_EQ(c.Readings, ReadingsForNewRecords({ { c.Source, c.EventId } }))
            << "source [" << c.Source << "] event id " << std::hex << c.EventId;
    }
}

TEST_F(EventWatcherTest, RecordsPresentAtStartNeverTrigger)
{
    Log.Oldest = 40;
    Log.Records = { Detection, Detection, Detection };
    EXPECT_EQ(0, ReadingsForNewRecords({}));
    // The seek went to the newest record, oldest + count - 1 (read twice:
    // the second time with the size needed).
    EXPECT_EQ((std::vector<DWORD>{ 42, 42 }), Log.SeekRecordNumbers);

    Log.Records.push_back(Detection);
    ProcessNewRecordsOfTheFakeLog();
    EXPECT_EQ(1, Readings);
}

TEST_F(EventWatcherTest, BurstOfThreeRecordsReadsTheDayFileThreeTimes)
{
    EXPECT_EQ(3, ReadingsForNewRecords({ Detection, { L"Symantec AntiVirus", 46 }, Detection, Detection }));
    // A later batch starts behind the burst.
    EXPECT_EQ(0, ReadingsForNewRecords({ { L"Symantec AntiVirus", 46 } }));
}

// An empty log has nothing to skip: no seek to a record before the oldest,
// whatever the log would answer to it, and its first record triggers.
TEST_F(EventWatcherTest, AnEmptyLogAtStartSkipsNothing)
{
    struct Case {
        DWORD Oldest;
        DWORD MissingRecordError;
    } cases[] = { { 0, ERROR_HANDLE_EOF }, { 0, ERROR_INVALID_PARAMETER }, { 7, ERROR_INVALID_PARAMETER } };
    HANDLE notifyCalled = Log.NotifyCalled;
    for (const Case& c : cases) {
        Log = FakeEventLog();
        Log.NotifyCalled = notifyCalled;
        Log.Oldest = c.Oldest;
        Log.MissingRecordError = c.MissingRecordError;
        std::string output = CaptureConsoleOutput([&] { EXPECT_EQ(1, ReadingsForNewRecords({ Detection })); });
        EXPECT_THAT(Log.SeekRecordNumbers, ::testing::IsEmpty()) << c.Oldest << ", " << c.MissingRecordError;
        EXPECT_EQ("", output);
    }
}

// Records written after a clear of the log: the old handle answers only
// ERROR_EVENTLOG_FILE_CHANGED, so the log is opened anew, its notification
// armed again, and every record in it is read.
TEST_F(EventWatcherTest, ALogClearedMeanwhileIsReopenedAndReadFromItsFirstRecord)
{
    Log.Records = { Detection, Detection };
    SkipExistingEventLogRecords(FakeLogHandle);
    Log.Cleared = TRUE;
    Log.Records = { Detection, { L"Symantec AntiVirus", 46 }, Detection };
    HANDLE changeEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    EventLogWatch watch = { FakeLogHandle, changeEvent, FALSE };
    std::string output = CaptureConsoleOutput([&] { ProcessNewEventLogRecords(&watch); });
    CloseHandle(changeEvent);

    EXPECT_EQ(2, Readings);
    EXPECT_EQ(1, Log.Closes);
    EXPECT_EQ(L"Symantec AntiVirus", Log.OpenedLogName);
    EXPECT_EQ(changeEvent, Log.ChangeEvent);
    EXPECT_EQ(FakeLogHandle, watch.Log);
    EXPECT_THAT(output, HasSubstr("  The Symantec AntiVirus event log was cleared. Reading it again from its first "
                                  "record.\r\n"));
}

BOOL CountReadingAndRequestStop(void)
{
    CountReading();
    RequestStop();
    return TRUE;
}

// A stop requested during the reading for one record ends the batch there.
TEST_F(EventWatcherTest, AStopEndsABatchBetweenTwoRecords)
{
    ProcessTodaysLogFileRoutine = CountReadingAndRequestStop;
    EXPECT_EQ(1, ReadingsForNewRecords({ Detection, Detection, Detection }));
}

TEST_F(EventWatcherTest, RecordTooLargeForTheFixedPartIsReadAgainWithTheSizeNeeded)
{
    Log.Records = { { L"Symantec AntiVirus", 0x40000033 } };
    EVENTLOGRECORD* record = ReadEventLogRecord(FakeLogHandle, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0);
    ASSERT_NE(nullptr, record);
    DWORD needed = (DWORD)SerializedRecord(Log.Records[0], 1).size();
    EXPECT_EQ((std::vector<DWORD>{ 56, needed }), Log.BufferSizes);
    EXPECT_EQ(needed, record->Length);
    EXPECT_EQ(0x40000033u, record->EventID);
    EXPECT_STREQ(L"Symantec AntiVirus", (const wchar_t*)(record + 1));
    free(record);

    EXPECT_EQ(nullptr, ReadEventLogRecord(FakeLogHandle, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0));
}

TEST_F(EventWatcherTest, FailedSecondReadEndsTheProcess)
{
    Log.Records = { Detection };
    Log.FailReadNumber = 2;
    Log.FailReadError = ERROR_INVALID_HANDLE;
    EXPECT_ERROR_EXIT(ProcessNewRecordsOfTheFakeLog(), "Second call to ReadEventLog failed.");
}

TEST_F(EventWatcherTest, UnexpectedReadErrorEndsTheProcessWithItsCode)
{
    Log.Records = { Detection };
    Log.FailReadNumber = 1;
    Log.FailReadError = ERROR_EVENTLOG_FILE_CORRUPT;
    EXPECT_ERROR_EXIT(ProcessNewRecordsOfTheFakeLog(),
                      "First call to ReadEventLog failed with error code 1500.");
}

// The watcher resets the change event before it reads the new records.
void WaitUntilServed(HANDLE changeEvent)
{
    for (int i = 0; i < 5000 && WaitForSingleObject(changeEvent, 0) == WAIT_OBJECT_0; ++i)
        Sleep(1);
}

// The watcher has made its reading at start and is about to wait.
bool WatcherStarted(void)
{
    for (int i = 0; i < 5000 && Readings == 0; ++i)
        Sleep(1);
    return Readings != 0;
}

// A reading at start during which the antivirus product records a detection.
BOOL CountReadingWhileADetectionIsRecorded(void)
{
    if (Readings == 0) {
        Fake->Records.push_back({ L"Symantec AntiVirus", 51 });
        SetEvent(Fake->ChangeEvent);
    }
    return CountReading();
}

DWORD WINAPI RunWatchEventLog(LPVOID)
{
    WatchEventLog();
    return 0;
}

TEST_F(EventWatcherTest, WatcherReadsAtStartThenPerNewRecordUntilStopped)
{
    Log.Records = { Detection };
    HANDLE watcher = NULL;
    std::string output = CaptureConsoleOutput([&] {
        watcher = CreateThread(NULL, 0, RunWatchEventLog, NULL, 0, NULL);
        ASSERT_TRUE(WatcherStarted());
        EXPECT_EQ(1, Readings);  // the reading at start, none for the existing record
        EXPECT_NE(nullptr, ShutDownEvent);
        ResetEvent(ReadingDone);

        for (int batch = 0; batch < 2; ++batch) {
            Log.Records.push_back(Detection);
            SetEvent(Log.ChangeEvent);
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ReadingDone, 5000));
            WaitUntilServed(Log.ChangeEvent);
        }

        EXPECT_TRUE(WaitForWatcherRelease());
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watcher, 5000));
    });
    CloseHandle(watcher);

    EXPECT_EQ(3, Readings);
    EXPECT_NE(nullptr, ShutDownEventAtFirstReading);  // a stop during it would be seen
    EXPECT_EQ(nullptr, ShutDownEvent);
    EXPECT_EQ(L"Symantec AntiVirus", Log.OpenedLogName);
    EXPECT_FALSE(Log.OpenedWithServer);
    EXPECT_EQ(1, Log.Closes);
    EXPECT_THAT(output, HasSubstr("  Monitoring event log.\r\n\r\n"));
    EXPECT_THAT(output, HasSubstr("  Shutting down event monitor routine. QARLOV is about to stop.\r\n"));
}

TEST_F(EventWatcherTest, RecordWrittenWhileABatchIsProcessedIsServedWithoutAnotherSignal)
{
    Log.Records = { Detection };
    HANDLE watcher = NULL;
    CaptureConsoleOutput([&] {
        watcher = CreateThread(NULL, 0, RunWatchEventLog, NULL, 0, NULL);
        ASSERT_TRUE(WatcherStarted());
        Log.RecordsArrivingAtEndOfBatch = 1;
        Log.Records.push_back(Detection);
        SetEvent(Log.ChangeEvent);
        for (int i = 0; i < 5000 && Readings < 3; ++i)
            Sleep(1);

        EXPECT_TRUE(WaitForWatcherRelease());
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watcher, 5000));
    });
    CloseHandle(watcher);
    EXPECT_EQ(3, Readings);  // start, the signalled record, the one written meanwhile
}

TEST_F(EventWatcherTest, DetectionRecordedDuringTheReadingAtStartTriggersAReading)
{
    Log.Records = { Detection };
    ProcessTodaysLogFileRoutine = CountReadingWhileADetectionIsRecorded;
    HANDLE watcher = NULL;
    CaptureConsoleOutput([&] {
        watcher = CreateThread(NULL, 0, RunWatchEventLog, NULL, 0, NULL);
        ASSERT_TRUE(WatcherStarted());
        for (int i = 0; i < 5000 && Readings < 2; ++i)
            Sleep(1);
        EXPECT_TRUE(WaitForWatcherRelease());
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watcher, 5000));
    });
    CloseHandle(watcher);
    EXPECT_EQ(2, Readings);
}

// A log that gets a new record whenever the reader reaches its end keeps the
// change event signalled; a stop still ends the watcher at once.
TEST_F(EventWatcherTest, AStopEndsTheWatcherWhileTheLogKeepsChanging)
{
    Log.Records = { Detection };
    Log.RecordsArrivingAtEndOfBatch = INT_MAX;
    HANDLE watcher = NULL;
    BOOL released = FALSE;
    CaptureConsoleOutput([&] {
        watcher = CreateThread(NULL, 0, RunWatchEventLog, NULL, 0, NULL);
        ASSERT_TRUE(WatcherStarted());
        SetEvent(Log.ChangeEvent);
        for (int i = 0; i < 5000 && Readings < 50; ++i)
            Sleep(1);
        released = WaitForWatcherRelease();
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watcher, 5000));
    });
    CloseHandle(watcher);
    EXPECT_GE(Readings, 50);  // the log was busy
    EXPECT_TRUE(released);
}

volatile LONG FailingReadings = 0;

BOOL CountReadingFailingOnce(void)
{
    CountReading();
    return InterlockedIncrement(&FailingReadings) > 1;
}

// A reading that failed is tried again after a few seconds, without any
// new record.
TEST_F(EventWatcherTest, AFailedReadingIsTriedAgainAfterAFewSeconds)
{
    FailingReadings = 0;
    ProcessTodaysLogFileRoutine = CountReadingFailingOnce;
    HANDLE watcher = NULL;
    DWORD retriedAfter = 0;
    CaptureConsoleOutput([&] {
        watcher = CreateThread(NULL, 0, RunWatchEventLog, NULL, 0, NULL);
        ASSERT_TRUE(WatcherStarted());
        DWORD failedAt = GetTickCount();
        for (int i = 0; i < 1000 && Readings < 2; ++i)
            Sleep(10);
        retriedAfter = GetTickCount() - failedAt;
        EXPECT_TRUE(WaitForWatcherRelease());
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watcher, 5000));
    });
    CloseHandle(watcher);
    EXPECT_EQ(2, Readings);
    EXPECT_GE(retriedAfter, 4500u);
    EXPECT_LT(retriedAfter, 8000u);
}

TEST_F(EventWatcherTest, FailuresWhileStartingEndTheProcess)
{
    struct Case {
        BOOL FakeEventLog::*Failure;
        const char* Message;
    } cases[] = {
        { &FakeEventLog::OpenFails, "Could not open Symantec AntiVirus event log." },
        { &FakeEventLog::OldestFails, "Could not retrieve the oldest record number from the event log." },
        { &FakeEventLog::NumberFails, "Could not retrieve the last number of record number in the event log." },
        { &FakeEventLog::NotifyFails, "NotifyChangeEventLog failed." },
    };
    for (const Case& c : cases) {
        Log.*c.Failure = TRUE;
        EXPECT_ERROR_EXIT(WatchEventLog(), c.Message);
        Log.*c.Failure = FALSE;
    }
}

bool TenFailedWaitsThenTheErrorLine(const std::string& output)
{
    const std::string error = "  ERROR    Waiting for changes failed repeatedly. QARLOV stops.";
    size_t errorAt = output.find(error);
    return errorAt != std::string::npos &&
           CountOf(output.substr(0, errorAt), "  WARNING  Unhandled dwWaitStatus.") == 10 &&
           CountOf(output, "Unhandled dwWaitStatus.") == 10;
}

TEST_F(EventWatcherTest, WaitThatKeepsFailingEndsTheProcess)
{
    // With ShutDownEvent's handle closed under the watcher, every wait after
    // the next notification fails at once.
    EXPECT_ERROR_EXIT_THAT(
        {
            HANDLE watcher = CreateThread(NULL, 0, RunWatchEventLog, NULL, 0, NULL);
            WatcherStarted();
            Sleep(200);
            CloseHandle(ShutDownEvent);
            SetEvent(Log.ChangeEvent);
            WaitForSingleObject(watcher, 10000);
            ExitProcess(5);
        },
        "Waiting for changes failed repeatedly. QARLOV stops.", ::testing::Truly(TenFailedWaitsThenTheErrorLine));
}

} // namespace
