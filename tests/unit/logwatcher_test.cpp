// The log-folder trigger: the day file and its name, the last-write test,
// the switch to a new day (with the last reading of the previous day's
// file and of the days since, at start too), failed readings tried again,
// the watcher loop with its stop handshake, and its errors.
#include "monitor/logwatcher.h"
#include "monitor/freshstart.h"
#include "tests/unit/error_exit.h"
#include "tests/unit/monitor_fixture.h"
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <process.h>
#include <algorithm>

using namespace monitor_fixture;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// Moves a file's last-write time by the given number of seconds, so that
// the test does not depend on the file system's timer resolution.
void ShiftLastWriteTime(const std::wstring& path, int seconds)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, 0, NULL);
    FILETIME written;
    GetFileTime(file, NULL, NULL, &written);
    ULARGE_INTEGER value = { { written.dwLowDateTime, written.dwHighDateTime } };
    value.QuadPart += (long long)seconds * 10000000;
    written.dwLowDateTime = value.LowPart;
    written.dwHighDateTime = value.HighPart;
    SetFileTime(file, NULL, NULL, &written);
    CloseHandle(file);
}

bool IsZero(const LogFileState& state)
{
    return state.LastWriteTime.dwLowDateTime == 0 && state.LastWriteTime.dwHighDateTime == 0 &&
           state.Size.QuadPart == 0;
}

// What the watcher would remember of the file now.
LogFileState StateOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes);
    LogFileState state;
    state.LastWriteTime = attributes.ftLastWriteTime;
    state.Size.LowPart = attributes.nFileSizeLow;
    state.Size.HighPart = attributes.nFileSizeHigh;
    return state;
}

class LogWatcherTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetMonitorRule();
        SetStoredPosition(Stamp5, 0);
        SetScanFileName(L"");  // no day file read yet
        ConfigureMessageAction(L"%04 %00");
        WriteRegistryPosition(SentinelPosition);
        Folder = MakeTemporaryFolder(L"qwatch");
        SetLogDirectory(Folder);
        Today = TodaysFileName();
        TodaysPath = Folder + Today;
    }

    void TearDown() override
    {
        StopRequested = 0;
        WatcherStopped = 0;
    }

    std::wstring Folder;
    std::wstring Today;
    std::wstring TodaysPath;
};

TEST_F(LogWatcherTest, ProcessTodaysLogFileReadsTheDayFileAndNamesItInThePosition)
{
    WriteBytes(TodaysPath, LogLine(Stamp6, "L1"));
    BOOL done = FALSE;
    std::string output = CaptureConsoleOutput([&] { done = ProcessTodaysLogFile(); });
    EXPECT_TRUE(done);
    EXPECT_THAT(WarningTexts(output), ElementsAre("L1 17.05.2023 14:30:06"));
    EXPECT_EQ(Today, std::wstring(MonitorSettings->FileName));
    EXPECT_EQ((RegistryPosition{ 0, L"3504110E1E06", Today }), ReadRegistryPosition());
}

// A day file that does not exist yet is no failed reading to try again, and
// no reason for a warning: its first line brings a change of its own.
TEST_F(LogWatcherTest, ProcessTodaysLogFileTakesAMissingDayFileQuietly)
{
    BOOL done = FALSE;
    std::string output = CaptureConsoleOutput([&] { done = ProcessTodaysLogFile(); });
    EXPECT_TRUE(done);
    EXPECT_THAT(WarningTexts(output), IsEmpty());
    EXPECT_EQ(Today, std::wstring(MonitorSettings->FileName));
}

// At start (and at each reading of the event-log trigger) a scan position
// that still names another day's file has that file read first, as a
// finished file, and then every day file since, in date order, at most 31
// days back; only a bare day-file name from the registry is followed.
TEST_F(LogWatcherTest, ProcessTodaysLogFileFirstCatchesUpTheDaysSinceTheStoredOne)
{
    const std::string P2 = LogLine(Stamp7, "P2");
    const std::wstring yesterday = DayFileName(-1);
    const std::string passedOver = "The scan position names the log file " + Narrow(DayFileName(-40)) +
                                   ", more than 31 days ago. Only the day files of the last 31 days are read; "
                                   "the older ones are passed over.";
    typedef std::vector<std::pair<std::wstring, std::string>> Files;
    struct Case {
        const char* Name;
        std::wstring StoredName;
        Files PreviousFiles;  // created in the folder
        bool Locked;          // the first of them
        BOOL Done;
        std::vector<std::string> Handled;
        std::wstring NameAfter;  // empty: today's
    } cases[] = {
        { "yesterday's file, its last line unterminated", yesterday,
          { { yesterday, LogLine(Stamp6, "P1") + P2.substr(0, P2.size() - 2) } }, false, TRUE,
          { "P1 17.05.2023 14:30:06", "P2 17.05.2023 14:30:07", "T1 17.05.2023 14:30:09" }, L"" },
        { "yesterday's file that is gone", yesterday, {}, false, TRUE, { "T1 17.05.2023 14:30:09" }, L"" },
        { "a name with a folder", L"sub\\" + yesterday, { { L"sub\\" + yesterday, P2 } }, false, TRUE,
          { "T1 17.05.2023 14:30:09" }, L"" },
        { "not a day-file name", yesterday + L".old", { { yesterday + L".old", P2 } }, false, TRUE,
          { "T1 17.05.2023 14:30:09" }, L"" },
        { "yesterday's file that can't be read", yesterday, { { yesterday, P2 } }, true, FALSE, { GiveUpWarning },
          yesterday },
        { "three days back, a file for each day since", DayFileName(-3),
          { { DayFileName(-3), LogLine(Stamp6, "D3") },
            { DayFileName(-2), LogLine(Stamp7, "D2") },
            { yesterday, LogLine(Stamp8, "D1") } },
          false, TRUE,
          { "D3 17.05.2023 14:30:06", "D2 17.05.2023 14:30:07", "D1 17.05.2023 14:30:08",
            "T1 17.05.2023 14:30:09" },
          L"" },
        { "more than 31 days back", DayFileName(-40),
          { { DayFileName(-40), LogLine(Stamp6, "D40") },
            { DayFileName(-32), LogLine(Stamp6, "D32") },
            { DayFileName(-31), LogLine(Stamp7, "D31") } },
          false, TRUE, { passedOver, "D31 17.05.2023 14:30:07", "T1 17.05.2023 14:30:09" }, L"" },
    };
    for (const Case& c : cases) {
        SetUp();
        SetScanFileName(c.StoredName.c_str());
        MonitorSettings->Instance = 3;
        CreateDirectoryW((Folder + L"sub").c_str(), NULL);
        for (const auto& file : c.PreviousFiles)
            WriteBytes(Folder + file.first, file.second);
        HANDLE locked = INVALID_HANDLE_VALUE;
        if (c.Locked)
            locked = CreateFileW((Folder + c.PreviousFiles[0].first).c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING,
                                 0, NULL);
        WriteBytes(TodaysPath, LogLine("3504110E1E09", "T1"));
        BOOL done = !c.Done;
        std::string output = CaptureConsoleOutput([&] { done = ProcessTodaysLogFile(); });
        if (locked != INVALID_HANDLE_VALUE)
            CloseHandle(locked);

        EXPECT_EQ(c.Done, done) << c.Name;
        EXPECT_EQ(c.Handled, WarningTexts(output)) << c.Name;
        const std::wstring nameAfter = c.NameAfter.empty() ? Today : c.NameAfter;
        EXPECT_EQ(nameAfter, std::wstring(MonitorSettings->FileName)) << c.Name;
        if (!c.Done) {  // the position stays with the previous day's file
            EXPECT_EQ(3u, MonitorSettings->Instance) << c.Name;
        } else {
            EXPECT_EQ(nameAfter, ReadRegistryPosition().FileName) << c.Name;
        }
    }
}

TEST_F(LogWatcherTest, CheckLogFileChangeReadsOnlyWhenTheLastWriteTimeOrSizeMoved)
{
    const std::wstring path = Folder + L"05172023.Log";
    LogFileState remembered = { { 1234, 0 }, {} };

    // Missing: a warning, the remembered time goes back to 0, nothing read.
    std::string output = CaptureConsoleOutput([&] { CheckLogFileChange(path.c_str(), L"05172023.Log", &remembered); });
    EXPECT_THAT(WarningTexts(output),
                ElementsAre("Directory content changed but log file 05172023.Log was not found."));
    EXPECT_TRUE(IsZero(remembered));

    // Present and not seen before: read.
    WriteBytes(path, LogLine(Stamp6, "L1"));
    output = CaptureConsoleOutput([&] { CheckLogFileChange(path.c_str(), L"05172023.Log", &remembered); });
    EXPECT_THAT(output, HasSubstr("  File 05172023.Log changed.\r\n"));
    EXPECT_THAT(WarningTexts(output), ElementsAre("L1 17.05.2023 14:30:06"));
    EXPECT_FALSE(IsZero(remembered));

    // Unchanged (another file of the folder changed): nothing at all.
    AppendBytes(path, LogLine(Stamp7, "L2"));
    remembered = StateOf(path);
    EXPECT_THAT(CaptureConsoleOutput([&] { CheckLogFileChange(path.c_str(), L"05172023.Log", &remembered); }),
                IsEmpty());

    // Written again: read again.
    ShiftLastWriteTime(path, 2);
    output = CaptureConsoleOutput([&] { CheckLogFileChange(path.c_str(), L"05172023.Log", &remembered); });
    EXPECT_THAT(WarningTexts(output), ElementsAre("L2 17.05.2023 14:30:07"));

    // The time was already seen (a reading began while this append was
    // under way) but the file has grown since: read again.
    remembered = StateOf(path);
    AppendBytes(path, LogLine(Stamp8, "L3"));
    remembered.LastWriteTime = StateOf(path).LastWriteTime;
    output = CaptureConsoleOutput([&] { CheckLogFileChange(path.c_str(), L"05172023.Log", &remembered); });
    EXPECT_THAT(WarningTexts(output), ElementsAre("L3 17.05.2023 14:30:08"));

    // A reading that fails keeps what was remembered: the file still counts
    // as changed, and the next look reads it.
    AppendBytes(path, LogLine("3504110E1E09", "L4"));
    const LogFileState before = remembered;
    HANDLE locked = CreateFileW(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    BOOL done = TRUE;
    output = CaptureConsoleOutput([&] { done = CheckLogFileChange(path.c_str(), L"05172023.Log", &remembered); });
    CloseHandle(locked);
    EXPECT_FALSE(done);
    EXPECT_THAT(WarningTexts(output), ElementsAre(GiveUpWarning));
    EXPECT_EQ(0, memcmp(&before, &remembered, sizeof(before)));
    output = CaptureConsoleOutput([&] { done = CheckLogFileChange(path.c_str(), L"05172023.Log", &remembered); });
    EXPECT_TRUE(done);
    EXPECT_THAT(WarningTexts(output), ElementsAre("L4 17.05.2023 14:30:09"));
}

TEST_F(LogWatcherTest, TheFirstNotificationReadsTheDayFileAndLaterOnesOnlyWhenItChanged)
{
    SetScanFileName(Today.c_str());
    WriteBytes(TodaysPath, LogLine(Stamp6, "L1"));
    wchar_t current[513] = L"";
    LogFileState remembered = { { 99, 99 }, {} };

    std::string output = CaptureConsoleOutput([&] { OnLogDirectoryChange(current, Folder.c_str(), &remembered); });
    EXPECT_EQ(Today, std::wstring(current));
    EXPECT_THAT(WarningTexts(output), ElementsAre("L1 17.05.2023 14:30:06"));

    EXPECT_THAT(CaptureConsoleOutput([&] { OnLogDirectoryChange(current, Folder.c_str(), &remembered); }), IsEmpty());

    AppendBytes(TodaysPath, LogLine(Stamp7, "L2"));
    ShiftLastWriteTime(TodaysPath, 2);
    output = CaptureConsoleOutput([&] { OnLogDirectoryChange(current, Folder.c_str(), &remembered); });
    EXPECT_THAT(WarningTexts(output), ElementsAre("L2 17.05.2023 14:30:07"));
    EXPECT_EQ((RegistryPosition{ 0, L"3504110E1E07", Today }), ReadRegistryPosition());
}

// Lines written to the previous day's file after its last reading, the last
// one without its line feed (that file grows no more), are read before the
// watcher moves on, and saved under that day's file name.
TEST_F(LogWatcherTest, ADayChangeReadsThePreviousDayFileOnceMore)
{
    const std::wstring yesterday = DayFileName(-1);
    const std::wstring previousPath = Folder + yesterday;
    WriteBytes(previousPath, LogLine(Stamp5, "L0"));
    wchar_t current[513] = L"";
    StringCchCopyW(current, 513, yesterday.c_str());
    SetScanFileName(yesterday.c_str());
    LogFileState remembered = StateOf(previousPath);  // read before midnight

    const std::string L2 = LogLine(Stamp6, "L2");
    AppendBytes(previousPath, LogLine(Stamp6, "L1") + L2.substr(0, L2.size() - 2));  // late lines
    std::string output = CaptureConsoleOutput([&] { OnLogDirectoryChange(current, Folder.c_str(), &remembered); });

    EXPECT_THAT(WarningTexts(output),
                ElementsAre("L1 17.05.2023 14:30:06", "L2 17.05.2023 14:30:06",
                            "Directory content changed but log file " + Narrow(Today) + " was not found."));
    EXPECT_EQ((RegistryPosition{ 1, L"3504110E1E06", yesterday }), ReadRegistryPosition());
    // Then the switch: new name, instance 0 in memory only, time forgotten.
    EXPECT_EQ(Today, std::wstring(current));
    EXPECT_EQ(Today, std::wstring(MonitorSettings->FileName));
    EXPECT_EQ(0u, MonitorSettings->Instance);
    EXPECT_EQ(L"3504110E1E06", std::wstring(MonitorSettings->TimeStamp));
    EXPECT_TRUE(IsZero(remembered));
}

TEST_F(LogWatcherTest, ADayChangeResetsTheInstanceAndReadsTheNewDayFile)
{
    const std::wstring yesterday = DayFileName(-1);
    const std::wstring previousPath = Folder + yesterday;
    WriteBytes(previousPath, LogLine(Stamp5, "L0"));
    LogFileState remembered = StateOf(previousPath);  // unchanged since its last reading
    wchar_t current[513] = L"";
    StringCchCopyW(current, 513, yesterday.c_str());
    SetScanFileName(yesterday.c_str());
    SetStoredPosition(Stamp5, 5);
    WriteBytes(TodaysPath, LogLine(Stamp5, "N1") + LogLine(Stamp5, "N2"));

    std::string output = CaptureConsoleOutput([&] { OnLogDirectoryChange(current, Folder.c_str(), &remembered); });
    EXPECT_THAT(WarningTexts(output), ElementsAre("N2 17.05.2023 14:30:05"));
    EXPECT_THAT(output, Not(HasSubstr(Narrow(yesterday) + " changed")));
    EXPECT_EQ((RegistryPosition{ 1, L"3504110E1E05", Today }), ReadRegistryPosition());
}

// ---- the watcher loop ---------------------------------------------------------

bool WaitUntil(const std::function<bool()>& condition, DWORD milliseconds)
{
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > milliseconds)
            return false;
        Sleep(5);
    }
    return true;
}

TEST_F(LogWatcherTest, WatchLogFileHandlesAnAppendedLineAndStopsOnRequest)
{
    WriteBytes(TodaysPath, LogLine(Stamp6, "L1"));
    WriteBytes(Folder + L"other.txt", "x");
    WatcherStopped = 0;
    DWORD handledAfter = 0;
    BOOL released = FALSE;
    HANDLE thread = NULL;
    std::string output = CaptureConsoleOutput([&] {
        thread = (HANDLE)_beginthreadex(NULL, 0, RunWatchLogFile, NULL, 0, NULL);
        ASSERT_TRUE(WaitUntil([] { return MonitorSettings->TimeStampTime.wSecond == 6; }, 10000));
        Sleep(200);  // the watcher is waiting now

        DWORD start = GetTickCount();
        AppendBytes(TodaysPath, LogLine(Stamp7, "L2"));
        EXPECT_TRUE(WaitUntil([] { return MonitorSettings->TimeStampTime.wSecond == 7; }, 5000));
        handledAfter = GetTickCount() - start;
        Sleep(200);
        AppendBytes(Folder + L"other.txt", "y");  // not the day file: no reading
        Sleep(300);

        released = WaitForWatcherRelease();
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000));
    });
    CloseHandle(thread);

    EXPECT_TRUE(released);
    EXPECT_EQ(NULL, ShutDownEvent);
    EXPECT_EQ(1, WatcherStopped);
    EXPECT_LT(handledAfter, 1000u);
    EXPECT_THAT(WarningTexts(output), ElementsAre("L1 17.05.2023 14:30:06", "L2 17.05.2023 14:30:07"));
    EXPECT_THAT(output, HasSubstr("  Monitoring directory " + Narrow(Folder) + "\r\n\r\n"));
    EXPECT_EQ(1u, CountOf(output, "  File " + Narrow(Today) + " changed.\r\n")) << output;
    EXPECT_THAT(output, HasSubstr("  Shutting down log file monitor routine. QARLOV is about to stop.\r\n"));
    EXPECT_EQ((RegistryPosition{ 0, L"3504110E1E07", Today }), ReadRegistryPosition());
    WatcherStopped = 0;
}

// A reading at start that fails (here: the day file is locked for three
// seconds, longer than the reader's attempts) is tried again: at the change
// that a line written meanwhile raises (the notification was armed before
// that reading), or after a few seconds when no change comes.
TEST_F(LogWatcherTest, AFailedReadingAtStartIsTriedAgain)
{
    struct Case {
        const char* Name;
        bool WriteMeanwhile;
        std::vector<std::string> Handled;
    } cases[] = {
        { "a line written meanwhile", true, { "L1 17.05.2023 14:30:06", "L2 17.05.2023 14:30:07" } },
        { "no change at all", false, { "L1 17.05.2023 14:30:06" } },
    };
    for (const Case& c : cases) {
        SetUp();
        WriteBytes(TodaysPath, LogLine(Stamp6, "L1"));
        HANDLE locked = CreateFileW(TodaysPath.c_str(), FILE_APPEND_DATA, 0, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, locked);
        WatcherStopped = 0;
        HANDLE thread = NULL;
        const WORD lastSecond = c.WriteMeanwhile ? 7 : 6;
        std::string output = CaptureConsoleOutput([&] {
            thread = (HANDLE)_beginthreadex(NULL, 0, RunWatchLogFile, NULL, 0, NULL);
            Sleep(300);  // the reader is retrying now
            if (c.WriteMeanwhile) {
                std::string line = LogLine(Stamp7, "L2");
                DWORD written = 0;
                WriteFile(locked, line.data(), (DWORD)line.size(), &written, NULL);
            }
            Sleep(2700);  // past the last of 20 attempts at most 109 ms apart
            CloseHandle(locked);
            EXPECT_TRUE(WaitUntil([&] { return MonitorSettings->TimeStampTime.wSecond == lastSecond; }, 10000))
                << c.Name;
            EXPECT_TRUE(WaitForWatcherRelease()) << c.Name;
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000)) << c.Name;
        });
        CloseHandle(thread);
        // One give-up at least; the change may come while the file is still
        // locked and cost another.
        std::vector<std::string> warnings = WarningTexts(output);
        ASSERT_FALSE(warnings.empty()) << c.Name;
        EXPECT_EQ(GiveUpWarning, warnings.front()) << c.Name;
        warnings.erase(std::remove(warnings.begin(), warnings.end(), GiveUpWarning), warnings.end());
        EXPECT_EQ(c.Handled, warnings) << c.Name;
        TearDown();
    }
}

TEST_F(LogWatcherTest, AMissingLogFolderEndsTheWatcher)
{
    SetLogDirectory(Folder + L"missing\\");
    EXPECT_ERROR_EXIT(WatchLogFile(), "File handle for FindFirstChangeNotification invalid.");
}

// A wait that fails again and again (here: ShutDownEvent's handle was
// closed under the watcher) ends the program after ten failures instead of
// spinning.
TEST_F(LogWatcherTest, AWaitThatKeepsFailingEndsTheProgram)
{
    WriteBytes(TodaysPath, "");
    EXPECT_ERROR_EXIT_THAT(
        {
            HANDLE thread = (HANDLE)_beginthreadex(NULL, 0, RunWatchLogFile, NULL, 0, NULL);
            WaitUntil([] { return ShutDownEvent != NULL; }, 10000);
            Sleep(200);
            CloseHandle(ShutDownEvent);
            AppendBytes(TodaysPath, "\r\n");  // wakes the watcher, whose next wait fails
            WaitForSingleObject(thread, 10000);
            ExitProcess(5);
        },
        "Waiting for changes failed repeatedly. QARLOV stops.", ::testing::Truly([](const std::string& output) {
            return CountOf(output, "  WARNING  Unhandled dwWaitStatus.") == 10;
        }));
}

// Without a scan position the position is set to the end of the last
// complete line of today's file, with a check that lets the next reading go
// on from there; the time stamp is now, or 1970 when nothing is complete yet.
TEST_F(LogWatcherTest, WithoutAScanPositionTheNextReadingStartsAtTheEndOfTheLastCompleteLine)
{
    const std::string L1 = LogLine(Stamp5, "OLD1"), L2 = LogLine(Stamp6, "OLD2");
    const std::string longPart(5000, 'x');  // longer than a chunk of the backward search
    struct Case {
        const char* Name;
        const char* Content;  // NULL: no day file yet
        size_t Offset;
        bool Earliest;        // the time stamp is 1 January 1970
        std::vector<std::string> Handled;  // once a line is appended
    } cases[] = {
        { "no day file", NULL, 0, true, { "NEW 17.05.2023 14:30:08" } },
        { "complete lines", "", L1.size() + L2.size(), false, { "NEW 17.05.2023 14:30:08" } },
        // Completed by the append, it is a new line.
        { "a line being written", "3504110E1E07,51,1,2,PART", L1.size() + L2.size(), false,
          { "PART 17.05.2023 14:30:07", "NEW 17.05.2023 14:30:08" } },
        { "a long line being written", longPart.c_str(), L1.size() + L2.size(), false,
          { "NEW 17.05.2023 14:30:08" } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        SetUp();
        FreeText(&MonitorSettings->TimeStamp);
        SetScanFileName(L"");
        if (c.Content != NULL)
            WriteBytes(TodaysPath, L1 + L2 + c.Content);
        std::string output = CaptureConsoleOutput(StartWithoutScanPosition);
        EXPECT_THAT(output, HasSubstr("  No scan position in the registry: starting from now, at byte " +
                                      std::to_string(c.Offset) + " of the log file " + Narrow(TodaysPath) +
                                      ".\r\n"));
        EXPECT_EQ(c.Offset, ReadRegistryOffset());
        RegistryPosition stored = ReadRegistryPosition();
        EXPECT_EQ(Today, stored.FileName);
        EXPECT_EQ(c.Earliest, stored.TimeStamp == L"000001000000") << Narrow(stored.TimeStamp);

        // The next reading goes on at the offset: only what follows it is handled.
        AppendBytes(TodaysPath, "\r\n" + LogLine(Stamp8, "NEW"));
        output = CaptureConsoleOutput([] { ProcessTodaysLogFile(); });
        EXPECT_THAT(output, Not(HasSubstr("no longer holds")));
        EXPECT_EQ(c.Handled, WarningTexts(output));
    }
}

}  // namespace
