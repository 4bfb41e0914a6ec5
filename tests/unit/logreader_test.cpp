// Reading a day file: its content up to a NUL byte reaches the parser,
// which takes its complete lines; a reading goes on from the stored offset
// while the file holds what was read before it, in pieces, with lines
// across their boundaries; a missing file costs 20 opening attempts with
// random waits and one warning; a locked file is read once released, and a
// file held open by a writer is read; WaitBeforeAction delays each reading
// once; a stop ends the waits quietly.
#include "monitor/logreader.h"
#include "actions/logrecord.h"
#include "tests/unit/monitor_fixture.h"
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <process.h>

using namespace monitor_fixture;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

class ReadLogFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        LogReadingLimits = { 300, 1000 };  // lines cross the pieces' boundaries
        ResetMonitorRule();
        SetStoredPosition(Stamp5, 0);
        ConfigureMessageAction(L"%04 %00");
        WriteRegistryPosition(SentinelPosition);
        Folder = MakeTemporaryFolder(L"qreader");
        Path = Folder + L"05172023.Log";
    }

    // Reads the file; returns the console output and the time it took, and
    // keeps ReadLogFile's answer in Processed.
    std::string Read(double* seconds = NULL)
    {
        DWORD start = GetTickCount();
        std::string output = CaptureConsoleOutput([&] { Processed = ReadLogFile(Path.c_str()); });
        if (seconds != NULL)
            *seconds = (GetTickCount() - start) / 1000.0;
        EXPECT_EQ(nullptr, CurrentRecord);
        return output;
    }

    void TearDown() override { LogReadingLimits = SavedLimits; }

    const ReadingLimits SavedLimits = LogReadingLimits;
    std::wstring Folder;
    std::wstring Path;
    BOOL Processed = FALSE;
};

// What follows a NUL byte (space an append has taken but not yet filled)
// is read again with the rest of the file at the next reading. How lines
// without their line feed are taken is the parser's concern.
TEST_F(ReadLogFileTest, HandsTheContentToTheParser)
{
    const std::string L3 = LogLine(Stamp7, "L3");
    struct Case {
        const char* Name;
        std::string Content;
        std::vector<std::string> Handled;
        RegistryPosition Saved;
    } cases[] = {
        { "whole lines", LogLine(Stamp5, "L1") + LogLine(Stamp6, "L2") + L3,
          { "L2 17.05.2023 14:30:06", "L3 17.05.2023 14:30:07" }, { 0, L"3504110E1E07", L"05172023.Log" } },
        { "lines behind a NUL byte", LogLine(Stamp6, "L2") + std::string(16, '\0') + L3,
          { "L2 17.05.2023 14:30:06" }, { 0, L"3504110E1E06", L"05172023.Log" } },
        { "an empty file", "", {}, SentinelPosition },
    };
    for (const Case& c : cases) {
        SetUp();
        WriteBytes(Path, c.Content);
        std::string output = Read();
        EXPECT_TRUE(Processed) << c.Name;
        EXPECT_EQ(c.Handled, WarningTexts(output)) << c.Name;
        EXPECT_EQ(c.Saved, ReadRegistryPosition()) << c.Name;
    }
}

// Each reading goes on where the one before ended, so a line is new
// whatever its time stamp; a file that no longer holds what was read is
// read from its beginning by the time stamp and instance.
TEST_F(ReadLogFileTest, AReadingGoesOnFromTheStoredOffset)
{
    const std::string L3 = LogLine(Stamp4, "L3");
    const std::string rewritten = LogLine(Stamp8, "L4") + LogLine(Stamp4, "L5");
    const struct Step {
        const char* Name;
        std::string Bytes;
        bool Append;
        std::vector<std::string> Handled;
        bool FromBeginning;
        DWORD Undecoded;  // bytes at the end, left for the next reading
    } steps[] = {
        { "first reading", LogLine(Stamp6, "L1") + LogLine(Stamp7, "X1", 5), false, { "L1 17.05.2023 14:30:06" },
          false, 0 },
        { "an older line appended", LogLine(Stamp4, "L2"), true, { "L2 17.05.2023 14:30:04" }, false, 0 },
        { "a line being appended", L3.substr(0, 40), true, {}, false, 40 },
        { "its rest", L3.substr(40), true, { "L3 17.05.2023 14:30:04" }, false, 0 },
        { "truncated and written anew", rewritten, false, { "L4 17.05.2023 14:30:08" }, true, 0 },
        { "the same length, other bytes", std::string(rewritten.size() - 2, 'x') + "\r\n", false, {}, true, 0 },
    };
    for (const Step& step : steps) {
        if (step.Append)
            AppendBytes(Path, step.Bytes);
        else
            WriteBytes(Path, step.Bytes);
        std::string output = Read();
        EXPECT_EQ(step.Handled, WarningTexts(output)) << step.Name;
        EXPECT_EQ(step.FromBeginning, output.find("Reading it from its beginning.") != std::string::npos)
            << step.Name << output;
        WIN32_FILE_ATTRIBUTE_DATA file;
        ASSERT_TRUE(GetFileAttributesExW(Path.c_str(), GetFileExInfoStandard, &file));
        EXPECT_EQ(file.nFileSizeLow - step.Undecoded, ReadRegistryOffset()) << step.Name;
    }
}

// A line longer than a piece is decoded whole; one longer than the longest
// line decoded is passed over with a warning, and the offset moves past it.
TEST_F(ReadLogFileTest, LongLinesAreDecodedWholeUpToTheLimit)
{
    auto lineOfLength = [](size_t length) {
        std::string line = LogLine(Stamp6, "PADDING");
        return line.replace(line.find("PADDING"), 7, length - line.size() + 7, 'p');
    };
    std::string longLine = lineOfLength(700), tooLong = lineOfLength(3000);
    WriteBytes(Path, LogLine(Stamp6, "L1") + longLine + tooLong + LogLine(Stamp7, "L4"));
    FreeText(&MonitorSettings->Message->Message);
    CopyAllocate(L"%06", &MonitorSettings->Message->Message);
    std::string output = Read();
    EXPECT_THAT(WarningTexts(output),
                ElementsAre("EICAR Test String", "EICAR Test String",
                            "A line of the log file " + std::string(Path.begin(), Path.end()) + " is longer than 1000 bytes. It is not handled.",
                            "EICAR Test String"));
    EXPECT_EQ((RegistryPosition{ 0, L"3504110E1E07", L"05172023.Log" }), ReadRegistryPosition());
}

TEST_F(ReadLogFileTest, AMissingFileGivesUpAfterTwentyRandomWaits)
{
    double seconds = 0;
    std::string output = Read(&seconds);
    std::vector<std::string> warnings = WarningTexts(output);
    EXPECT_THAT(warnings, ElementsAre(GiveUpWarning));
    EXPECT_FALSE(Processed);
    EXPECT_THAT(output, HasSubstr(" -> "));  // with the system's reason
    // 20 waits of 22 to 109 ms, allowing for the timer's granularity.
    EXPECT_GE(seconds, 0.40);
    EXPECT_LE(seconds, 2.18 + 1.0);
    EXPECT_EQ(SentinelPosition, ReadRegistryPosition());
}

struct LockRequest {
    std::wstring Path;
    DWORD ShareMode;
    DWORD HoldMilliseconds;
    HANDLE Opened;  // signalled once the file is open
};

unsigned __stdcall HoldFileOpen(void* argument)
{
    LockRequest* request = (LockRequest*)argument;
    HANDLE file = CreateFileW(request->Path.c_str(), GENERIC_READ | GENERIC_WRITE, request->ShareMode, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    SetEvent(request->Opened);
    Sleep(request->HoldMilliseconds);
    CloseHandle(file);
    return file != INVALID_HANDLE_VALUE ? 0 : 1;
}

// Holds the file open on another thread while body runs.
void WithFileHeldOpen(const std::wstring& path, DWORD shareMode, DWORD holdMilliseconds,
                      const std::function<void()>& body)
{
    LockRequest request = { path, shareMode, holdMilliseconds, CreateEventW(NULL, TRUE, FALSE, NULL) };
    HANDLE thread = (HANDLE)_beginthreadex(NULL, 0, HoldFileOpen, &request, 0, NULL);
    WaitForSingleObject(request.Opened, INFINITE);
    body();
    WaitForSingleObject(thread, INFINITE);
    DWORD openFailed = 1;
    GetExitCodeThread(thread, &openFailed);
    EXPECT_EQ(0u, openFailed) << "the test could not open the file itself";
    CloseHandle(thread);
    CloseHandle(request.Opened);
}

TEST_F(ReadLogFileTest, AFileLockedForAWhileIsReadOnceReleased)
{
    WriteBytes(Path, LogLine(Stamp6, "L1"));
    std::string output;
    double seconds = 0;
    WithFileHeldOpen(Path, 0, 300, [&] { output = Read(&seconds); });
    EXPECT_THAT(WarningTexts(output), ElementsAre("L1 17.05.2023 14:30:06"));
    EXPECT_GE(seconds, 0.25);
}

// The antivirus product keeps its day file open for writing while we read.
TEST_F(ReadLogFileTest, AFileOpenForWritingElsewhereIsRead)
{
    for (DWORD shareMode : { (DWORD)FILE_SHARE_READ, (DWORD)(FILE_SHARE_READ | FILE_SHARE_WRITE) }) {
        SetUp();
        WriteBytes(Path, LogLine(Stamp6, "L1"));
        std::string output;
        WithFileHeldOpen(Path, shareMode, 200, [&] { output = Read(); });
        EXPECT_THAT(WarningTexts(output), ElementsAre("L1 17.05.2023 14:30:06")) << "share mode " << shareMode;
    }
}

TEST_F(ReadLogFileTest, WaitBeforeActionDelaysEachReadingOnce)
{
    WriteBytes(Path, LogLine(Stamp6, "L1"));
    MonitorSettings->WaitBeforeAction = 400;
    double seconds = 0;
    EXPECT_EQ(1u, WarningTexts(Read(&seconds)).size());
    EXPECT_GE(seconds, 0.38);

    // With a missing file: once before the 20 attempts, not before each one.
    DeleteFileW(Path.c_str());
    EXPECT_THAT(WarningTexts(Read(&seconds)), ElementsAre(GiveUpWarning));
    EXPECT_GE(seconds, 0.38 + 0.40);
    EXPECT_LT(seconds, 0.4 + 2.18 + 1.0);
}

// A stop request ends the wait before the reading and the waits between
// opening attempts at once; the reading is given up without a warning.
TEST_F(ReadLogFileTest, AStopEndsTheWaitsOfAReadingQuietly)
{
    struct Case {
        const char* Name;
        bool FileExists;
        DWORD WaitBeforeAction;
    } cases[] = {
        { "waiting before the reading", true, 3000 },
        { "waiting between opening attempts", false, 0 },
    };
    for (const Case& c : cases) {
        SetUp();
        if (c.FileExists)
            WriteBytes(Path, LogLine(Stamp6, "L1"));
        MonitorSettings->WaitBeforeAction = c.WaitBeforeAction;
        double seconds = 0;
        std::string output;
        RunWithStopAfter(150, [&] { output = Read(&seconds); });

        EXPECT_FALSE(Processed) << c.Name;
        EXPECT_THAT(output, IsEmpty()) << c.Name;
        EXPECT_LT(seconds, 0.4) << c.Name;  // 20 attempts take 0.44 s at least
        EXPECT_EQ(SentinelPosition, ReadRegistryPosition()) << c.Name;
    }
}

TEST_F(ReadLogFileTest, WithoutWaitBeforeActionTheFileIsReadAtOnce)
{
    WriteBytes(Path, LogLine(Stamp6, "L1"));
    double seconds = 1;
    EXPECT_EQ(1u, WarningTexts(Read(&seconds)).size());
    EXPECT_LT(seconds, 0.2);
}

}  // namespace
