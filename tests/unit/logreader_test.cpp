// Reading a day file: its content reaches the parser, which takes its
// complete lines, past runs of zero bytes that lines follow; a reading goes
// on from the stored offset while the file holds what was read before it,
// in pieces, with lines across their boundaries; a finished file's
// unfinished end is taken once its size held still; a missing file is
// nothing to read, a locked one costs 20 opening attempts with random waits
// and one warning, repeated only after a while; a file locked for a while
// is read once released, and a file held open by a writer is read;
// WaitBeforeAction delays each reading once; a stop ends the waits quietly.
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
        // Lines cross the pieces' boundaries.
        LogReadingLimits.PieceBytes = 300;
        LogReadingLimits.LineBytes = 1000;
        ResetMonitorRule();
        SetStoredPosition(Stamp5, 0);
        ConfigureMessageAction(L"%04 %00");
        WriteRegistryPosition(SentinelPosition);
        Folder = MakeTemporaryFolder(L"qreader");
        Path = Folder + L"05172023.Log";
    }

    // Reads the file (finished: as a previous day's file); returns the
    // console output and the time it took, and keeps the reader's answer in
    // Processed.
    std::string Read(double* seconds = NULL, bool finished = false)
    {
        DWORD start = GetTickCount();
        std::string output = CaptureConsoleOutput(
            [&] { Processed = finished ? ReadFinishedLogFile(Path.c_str()) : ReadLogFile(Path.c_str()); });
        if (seconds != NULL)
            *seconds = (GetTickCount() - start) / 1000.0;
        EXPECT_EQ(nullptr, CurrentRecord);
        return output;
    }

    void TearDown() override { LogReadingLimits = SavedLimits; }

    // The warning about a run of zero bytes in the file, which texts names
    // as "<file>" until FileNamed puts the file's path in.
    static std::string ZeroRunWarning(size_t count, size_t offset)
    {
        return "The log file <file> holds " + std::to_string(count) + " zero bytes from byte " +
               std::to_string(offset) + " on, where a write was lost. They are passed over with the line they cut off.";
    }

    std::vector<std::string> FileNamed(std::vector<std::string> texts) const
    {
        for (std::string& text : texts) {
            size_t at = text.find("<file>");
            if (at != std::string::npos)
                text.replace(at, 6, std::string(Path.begin(), Path.end()));
        }
        return texts;
    }

    const ReadingLimits SavedLimits = LogReadingLimits;
    std::wstring Folder;
    std::wstring Path;
    BOOL Processed = FALSE;
};

// Zero bytes that lines follow are a hole left by a lost write: passed over,
// within a piece or across pieces, with the line they cut off. At the end of
// a previous day's file they are a hole too, once its size held still. How
// lines without their line feed are taken is the parser's concern.
TEST_F(ReadLogFileTest, HandsTheContentToTheParser)
{
    const std::string L2 = LogLine(Stamp6, "L2"), L3 = LogLine(Stamp7, "L3");
    const std::string cut = LogLine(Stamp8, "X1").substr(0, 40);
    struct Case {
        const char* Name;
        std::string Content;
        bool Finished;
        std::vector<std::string> Handled;
        RegistryPosition Saved;
    } cases[] = {
        { "whole lines", LogLine(Stamp5, "L1") + L2 + L3, false,
          { "L2 17.05.2023 14:30:06", "L3 17.05.2023 14:30:07" }, { 0, L"3504110E1E07", L"05172023.Log" } },
        { "zero bytes between lines", L2 + std::string(16, '\0') + L3, false,
          { "L2 17.05.2023 14:30:06", ZeroRunWarning(16, L2.size()), "L3 17.05.2023 14:30:07" },
          { 0, L"3504110E1E07", L"05172023.Log" } },
        { "zero bytes cutting a line off, across pieces", L2 + cut + std::string(1000, '\0') + L3, false,
          { "L2 17.05.2023 14:30:06", ZeroRunWarning(1000, L2.size() + cut.size()), "L3 17.05.2023 14:30:07" },
          { 0, L"3504110E1E07", L"05172023.Log" } },
        { "a previous day's file ending in zero bytes", L2 + cut + std::string(500, '\0'), true,
          { "L2 17.05.2023 14:30:06", ZeroRunWarning(500, L2.size() + cut.size()) },
          { 0, L"3504110E1E06", L"05172023.Log" } },
        { "an empty file", "", false, {}, SentinelPosition },
    };
    for (const Case& c : cases) {
        SetUp();
        WriteBytes(Path, c.Content);
        std::string output = Read(NULL, c.Finished);
        EXPECT_TRUE(Processed) << c.Name;
        EXPECT_EQ(FileNamed(c.Handled), WarningTexts(output)) << c.Name;
        EXPECT_EQ(c.Saved, ReadRegistryPosition()) << c.Name;
        EXPECT_EQ(c.Content.size(), MonitorSettings->Offset) << c.Name;  // nothing left undecoded
    }
}

// Each reading goes on where the one before ended, so a line is new
// whatever its time stamp; a file that no longer holds what was read is
// read from its beginning by the time stamp and instance.
TEST_F(ReadLogFileTest, AReadingGoesOnFromTheStoredOffset)
{
    const std::string L1 = LogLine(Stamp6, "L1") + LogLine(Stamp7, "X1", 5), L2 = LogLine(Stamp4, "L2");
    const std::string L3 = LogLine(Stamp4, "L3"), F1 = LogLine(Stamp5, "F1");
    const std::string rewritten = LogLine(Stamp8, "L4") + LogLine(Stamp4, "L5");
    const struct Step {
        const char* Name;
        std::string Bytes;
        bool Append;
        std::vector<std::string> Handled;
        bool FromBeginning;
        DWORD Undecoded;  // bytes at the end, left for the next reading
    } steps[] = {
        { "first reading", L1, false, { "L1 17.05.2023 14:30:06" }, false, 0 },
        { "an older line appended", L2, true, { "L2 17.05.2023 14:30:04" }, false, 0 },
        { "a line being appended", L3.substr(0, 40), true, {}, false, 40 },
        { "its rest", L3.substr(40), true, { "L3 17.05.2023 14:30:04" }, false, 0 },
        { "space taken by an append, not yet filled", std::string(F1.size(), '\0'), true, {}, false, F1.size() },
        { "filled", L1 + L2 + L3 + F1, false, { "F1 17.05.2023 14:30:05" }, false, 0 },
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

// Opened without sharing: the reader's opening attempts fail while it is.
HANDLE LockFile(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_NE(INVALID_HANDLE_VALUE, file);
    return file;
}

// A file that is not there is nothing to read, at once and without a word;
// one that can't be opened, or whose folder is gone, is given up after 20
// attempts with random waits.
TEST_F(ReadLogFileTest, AFileThatCantBeOpenedIsGivenUpAfterTwentyRandomWaits)
{
    struct Case {
        const char* Name;
        bool Locked, FolderGone;
        std::vector<std::string> Warnings;
        BOOL Processed;
        double MinSeconds, MaxSeconds;  // 20 waits of 22 to 109 ms, with the timer's granularity
    } cases[] = {
        { "missing", false, false, {}, TRUE, 0, 0.4 },
        { "locked", true, false, { GiveUpWarning }, FALSE, 0.40, 2.18 + 1.0 },
        { "its folder gone", false, true, { GiveUpWarning }, FALSE, 0.40, 2.18 + 1.0 },
    };
    for (const Case& c : cases) {
        SetUp();
        if (c.FolderGone)
            Path = Folder + L"gone\\05172023.Log";
        HANDLE locked = INVALID_HANDLE_VALUE;
        if (c.Locked) {
            WriteBytes(Path, LogLine(Stamp6, "L1"));
            locked = LockFile(Path);
        }
        double seconds = 0;
        std::string output = Read(&seconds);
        if (locked != INVALID_HANDLE_VALUE)
            CloseHandle(locked);
        EXPECT_EQ(c.Warnings, WarningTexts(output)) << c.Name;
        EXPECT_EQ(c.Processed, Processed) << c.Name;
        EXPECT_EQ(!c.Processed, output.find(" -> ") != std::string::npos) << c.Name;  // with the system's reason
        EXPECT_GE(seconds, c.MinSeconds) << c.Name;
        EXPECT_LE(seconds, c.MaxSeconds) << c.Name;
        EXPECT_EQ(SentinelPosition, ReadRegistryPosition()) << c.Name;
    }
}

// The watchers try a failed reading again every few seconds: a file that
// stays unreadable is reported once, and again only once the reminder
// interval has passed, or once it was read in between.
TEST_F(ReadLogFileTest, AFileThatStaysUnreadableIsReportedOnceThenAfterTheReminderInterval)
{
    WriteBytes(Path, LogLine(Stamp6, "L1"));
    const struct Step {
        const char* Name;
        bool Locked;
        DWORD Reminder;
        std::vector<std::string> Warnings;
    } steps[] = {
        { "first failure", true, 600000, { GiveUpWarning } },
        { "again at once", true, 600000, {} },
        { "again after the interval", true, 0, { GiveUpWarning } },
        { "read", false, 600000, { "L1 17.05.2023 14:30:06" } },
        { "unreadable once more", true, 600000, { GiveUpWarning } },
    };
    for (const Step& step : steps) {
        LogReadingLimits.ReminderMilliseconds = step.Reminder;
        HANDLE locked = step.Locked ? LockFile(Path) : INVALID_HANDLE_VALUE;
        std::string output = Read();
        if (locked != INVALID_HANDLE_VALUE)
            CloseHandle(locked);
        EXPECT_EQ(step.Warnings, WarningTexts(output)) << step.Name;
        EXPECT_EQ(!step.Locked, Processed != FALSE) << step.Name;
    }
}

struct LateAppend {
    std::wstring Path;
    std::string Bytes;
    DWORD Delay;
};

unsigned __stdcall AppendAfterDelay(void* argument)
{
    LateAppend* append = (LateAppend*)argument;
    Sleep(append->Delay);
    if (!append->Bytes.empty())
        AppendBytes(append->Path, append->Bytes);
    delete append;
    return 0;
}

// Appends bytes (if any) to the file on another thread after delay ms.
HANDLE AppendLater(const std::wstring& path, const std::string& bytes, DWORD delay)
{
    return (HANDLE)_beginthreadex(NULL, 0, AppendAfterDelay, new LateAppend{ path, bytes, delay }, 0, NULL);
}

// The last reading of a previous day's file takes a last line without its
// line feed only once the file's size has held still: just after midnight
// the product may still be writing it.
TEST_F(ReadLogFileTest, AFinishedFileTakesAnUnterminatedLastLineOnceItsSizeHeldStill)
{
    const std::string L2 = LogLine(Stamp7, "L2");
    const size_t cut = L2.find("L2,") + 1;  // inside the field the Message shows
    struct Case {
        const char* Name;
        std::string Rest;  // appended 200 ms into the reading
    } cases[] = {
        { "untouched", "" },
        { "its rest written meanwhile", L2.substr(cut) },
    };
    for (const Case& c : cases) {
        SetUp();
        WriteBytes(Path, LogLine(Stamp6, "L1") + (c.Rest.empty() ? L2.substr(0, L2.size() - 2) : L2.substr(0, cut)));
        HANDLE writer = AppendLater(Path, c.Rest, 200);
        double seconds = 0;
        std::string output = Read(&seconds, true);
        WaitForSingleObject(writer, INFINITE);
        CloseHandle(writer);
        EXPECT_TRUE(Processed) << c.Name;
        EXPECT_THAT(WarningTexts(output), ElementsAre("L1 17.05.2023 14:30:06", "L2 17.05.2023 14:30:07"))
            << c.Name;
        EXPECT_GE(seconds, LogReadingLimits.SettleMilliseconds / 1000.0 - 0.05) << c.Name;
    }
}

struct LockRequest {
    std::wstring Path;
    DWORD Access;
    DWORD ShareMode;
    DWORD HoldMilliseconds;
    HANDLE Opened;  // signalled once the file is open
};

unsigned __stdcall HoldFileOpen(void* argument)
{
    LockRequest* request = (LockRequest*)argument;
    HANDLE file = CreateFileW(request->Path.c_str(), request->Access, request->ShareMode, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    SetEvent(request->Opened);
    Sleep(request->HoldMilliseconds);
    CloseHandle(file);
    return file != INVALID_HANDLE_VALUE ? 0 : 1;
}

// Holds the file open on another thread while body runs.
void WithFileHeldOpen(const std::wstring& path, DWORD access, DWORD shareMode, DWORD holdMilliseconds,
                      const std::function<void()>& body)
{
    LockRequest request = { path, access, shareMode, holdMilliseconds, CreateEventW(NULL, TRUE, FALSE, NULL) };
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
    WithFileHeldOpen(Path, GENERIC_READ | GENERIC_WRITE, 0, 300, [&] { output = Read(&seconds); });
    EXPECT_THAT(WarningTexts(output), ElementsAre("L1 17.05.2023 14:30:06"));
    EXPECT_GE(seconds, 0.25);
}

// The antivirus product keeps its day file open for writing while we read,
// and may open an old one to delete or rename it: held longer than the
// opening attempts last, the file is read all the same.
TEST_F(ReadLogFileTest, AFileOpenForWritingElsewhereIsRead)
{
    const DWORD readWrite = GENERIC_READ | GENERIC_WRITE;
    struct Case {
        const char* Name;
        DWORD Access, ShareMode;
    } cases[] = {
        { "shared for reading", readWrite, FILE_SHARE_READ },
        { "shared for reading and writing", readWrite, FILE_SHARE_READ | FILE_SHARE_WRITE },
        { "open to be deleted", readWrite | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE },
    };
    for (const Case& c : cases) {
        SetUp();
        WriteBytes(Path, LogLine(Stamp6, "L1"));
        std::string output;
        WithFileHeldOpen(Path, c.Access, c.ShareMode, 2500, [&] { output = Read(); });
        EXPECT_THAT(WarningTexts(output), ElementsAre("L1 17.05.2023 14:30:06")) << c.Name;
    }
}

TEST_F(ReadLogFileTest, WaitBeforeActionDelaysEachReadingOnce)
{
    WriteBytes(Path, LogLine(Stamp6, "L1"));
    MonitorSettings->WaitBeforeAction = 400;
    double seconds = 0;
    EXPECT_EQ(1u, WarningTexts(Read(&seconds)).size());
    EXPECT_GE(seconds, 0.38);

    // With a locked file: once before the 20 attempts, not before each one.
    HANDLE locked = LockFile(Path);
    EXPECT_THAT(WarningTexts(Read(&seconds)), ElementsAre(GiveUpWarning));
    CloseHandle(locked);
    EXPECT_GE(seconds, 0.38 + 0.40);
    EXPECT_LT(seconds, 0.4 + 2.18 + 1.0);
}

// A stop request ends the wait before the reading and the waits between
// opening attempts at once; the reading is given up without a warning.
TEST_F(ReadLogFileTest, AStopEndsTheWaitsOfAReadingQuietly)
{
    struct Case {
        const char* Name;
        bool Locked;
        DWORD WaitBeforeAction;
    } cases[] = {
        { "waiting before the reading", false, 3000 },
        { "waiting between opening attempts", true, 0 },
    };
    for (const Case& c : cases) {
        SetUp();
        WriteBytes(Path, LogLine(Stamp6, "L1"));
        HANDLE locked = c.Locked ? LockFile(Path) : INVALID_HANDLE_VALUE;
        MonitorSettings->WaitBeforeAction = c.WaitBeforeAction;
        double seconds = 0;
        std::string output;
        RunWithStopAfter(150, [&] { output = Read(&seconds); });
        if (locked != INVALID_HANDLE_VALUE)
            CloseHandle(locked);

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
