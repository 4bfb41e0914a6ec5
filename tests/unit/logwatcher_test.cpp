// The log-folder trigger: the day file and its name, the last-write test,
// the switch to a new day (with the last reading of the previous day's
// file), the watcher loop with its stop handshake, and its errors.
#include "monitor/logwatcher.h"
#include "tests/unit/monitor_fixture.h"
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <process.h>

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
        ConfigureMessageAction(L"%04 %00");
        WriteRegistryPosition(SentinelPosition);
        Folder = MakeTemporaryFolder(L"qwatch");
        SetLogDirectory(Folder);
        Today = TodaysFileName();
        TodaysPath = Folder + Today;
    }

    std::wstring Folder;
    std::wstring Today;
    std::wstring TodaysPath;
};

TEST_F(LogWatcherTest, ProcessTodaysLogFileReadsTheDayFileAndNamesItInThePosition)
{
    WriteBytes(TodaysPath, LogLine(Stamp6, "L1"));
    std::string output = CaptureConsoleOutput([] { ProcessTodaysLogFile(); });
    EXPECT_THAT(WarningTexts(output), ElementsAre("L1 17.05.2023 14:30:06"));
    EXPECT_EQ(Today, std::wstring(MonitorSettings->FileName));
    EXPECT_EQ((RegistryPosition{ 0, L"3504110E1E06", Today }), ReadRegistryPosition());
}

TEST_F(LogWatcherTest, ProcessTodaysLogFileReportsAMissingDayFile)
{
    std::string output = CaptureConsoleOutput([] { ProcessTodaysLogFile(); });
    EXPECT_THAT(WarningTexts(output),
                ElementsAre("Read operation aborted after 20 unsuccessful tries with a random waiting interval in "
                            "between."));
    EXPECT_EQ(Today, std::wstring(MonitorSettings->FileName));
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

// A line written to the previous day's file after its last reading is read
// before the watcher moves on, and saved under that day's file name.
TEST_F(LogWatcherTest, ADayChangeReadsThePreviousDayFileOnceMore)
{
    const std::wstring previousPath = Folder + L"01011999.Log";
    WriteBytes(previousPath, LogLine(Stamp5, "L0"));
    wchar_t current[513] = L"01011999.Log";
    SetScanFileName(L"01011999.Log");
    LogFileState remembered = StateOf(previousPath);  // read before midnight

    AppendBytes(previousPath, LogLine(Stamp6, "L1") + LogLine(Stamp6, "L2"));  // late lines
    ShiftLastWriteTime(previousPath, 2);
    std::string output = CaptureConsoleOutput([&] { OnLogDirectoryChange(current, Folder.c_str(), &remembered); });

    EXPECT_THAT(WarningTexts(output),
                ElementsAre("L1 17.05.2023 14:30:06", "L2 17.05.2023 14:30:06",
                            "Directory content changed but log file " + Narrow(Today) + " was not found."));
    EXPECT_EQ((RegistryPosition{ 1, L"3504110E1E06", L"01011999.Log" }), ReadRegistryPosition());
    // Then the switch: new name, instance 0 in memory only, time forgotten.
    EXPECT_EQ(Today, std::wstring(current));
    EXPECT_EQ(Today, std::wstring(MonitorSettings->FileName));
    EXPECT_EQ(0u, MonitorSettings->Instance);
    EXPECT_EQ(L"3504110E1E06", std::wstring(MonitorSettings->TimeStamp));
    EXPECT_TRUE(IsZero(remembered));
}

TEST_F(LogWatcherTest, ADayChangeResetsTheInstanceAndReadsTheNewDayFile)
{
    const std::wstring previousPath = Folder + L"01011999.Log";
    WriteBytes(previousPath, LogLine(Stamp5, "L0"));
    LogFileState remembered = StateOf(previousPath);  // unchanged since its last reading
    wchar_t current[513] = L"01011999.Log";
    SetScanFileName(L"01011999.Log");
    SetStoredPosition(Stamp5, 5);
    WriteBytes(TodaysPath, LogLine(Stamp5, "N1") + LogLine(Stamp5, "N2"));

    std::string output = CaptureConsoleOutput([&] { OnLogDirectoryChange(current, Folder.c_str(), &remembered); });
    EXPECT_THAT(WarningTexts(output), ElementsAre("N2 17.05.2023 14:30:05"));
    EXPECT_THAT(output, Not(HasSubstr("01011999.Log changed")));
    EXPECT_EQ((RegistryPosition{ 1, L"3504110E1E05", Today }), ReadRegistryPosition());
}

// ---- the watcher loop ---------------------------------------------------------

size_t CountOf(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}


unsigned __stdcall RunWatchLogFile(void*)
{
    WatchLogFile();
    return 0;
}

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
        ASSERT_TRUE(WaitUntil([] { return ShutDownEvent != NULL; }, 10000));
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

// A line written while the first reading is under way (here: while the day
// file is locked and the reader retries) raises a notification of its own.
TEST_F(LogWatcherTest, ALineWrittenDuringTheFirstReadingIsHandled)
{
    WriteBytes(TodaysPath, LogLine(Stamp6, "L1"));
    HANDLE locked = CreateFileW(TodaysPath.c_str(), FILE_APPEND_DATA, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, locked);
    WatcherStopped = 0;
    HANDLE thread = NULL;
    std::string output = CaptureConsoleOutput([&] {
        thread = (HANDLE)_beginthreadex(NULL, 0, RunWatchLogFile, NULL, 0, NULL);
        Sleep(300);  // the reader is retrying now
        std::string line = LogLine(Stamp7, "L2");
        DWORD written = 0;
        WriteFile(locked, line.data(), (DWORD)line.size(), &written, NULL);
        ASSERT_TRUE(WaitUntil([] { return ShutDownEvent != NULL; }, 10000));  // the reader gave up
        CloseHandle(locked);
        EXPECT_TRUE(WaitUntil([] { return MonitorSettings->TimeStampTime.wSecond == 7; }, 5000));
        EXPECT_TRUE(WaitForWatcherRelease());
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000));
    });
    CloseHandle(thread);
    EXPECT_THAT(WarningTexts(output),
                ElementsAre("Read operation aborted after 20 unsuccessful tries with a random waiting interval in between.",
                            "L1 17.05.2023 14:30:06", "L2 17.05.2023 14:30:07"));
    WatcherStopped = 0;
}

TEST_F(LogWatcherTest, AMissingLogFolderEndsTheWatcher)
{
    SetLogDirectory(Folder + L"missing\\");
    EXPECT_EXIT(
        {
            SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
            WatchLogFile();
        },
        ::testing::ExitedWithCode(1), HasSubstr("  ERROR    File handle for FindFirstChangeNotification invalid."));
}

// A wait that fails again and again (here: ShutDownEvent's handle was
// closed under the watcher) ends the program after ten failures instead of
// spinning.
TEST_F(LogWatcherTest, AWaitThatKeepsFailingEndsTheProgram)
{
    WriteBytes(TodaysPath, "");
    EXPECT_EXIT(
        {
            SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
            HANDLE thread = (HANDLE)_beginthreadex(NULL, 0, RunWatchLogFile, NULL, 0, NULL);
            WaitUntil([] { return ShutDownEvent != NULL; }, 10000);
            Sleep(200);
            CloseHandle(ShutDownEvent);
            AppendBytes(TodaysPath, "\r\n");  // wakes the watcher, whose next wait fails
            WaitForSingleObject(thread, 10000);
            ExitProcess(5);
        },
        ::testing::ExitedWithCode(1),
        ::testing::AllOf(HasSubstr("  ERROR    Waiting for changes failed repeatedly. QARLOV stops."),
                         ::testing::Truly([](const std::string& output) {
                             return CountOf(output, "  WARNING  Unhandled dwWaitStatus.") == 10;
                         })));
}

}  // namespace
