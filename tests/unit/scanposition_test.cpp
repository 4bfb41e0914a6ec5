// The scan position: its time-stamp text and its registry storage.
#include "config/scanposition.h"
#include "config/settings.h"
#include "config/strings.h"
#include "config/timestamp.h"
#include "core/platform.h"
#include "tests/unit/error_exit.h"
#include "tests/unit/test_support.h"
#include <gtest/gtest.h>
#include <string>

namespace {

SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    SYSTEMTIME time = {};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    return time;
}

std::wstring Formatted(const SYSTEMTIME& time)
{
    wchar_t text[13];
    FormatTimeStamp(&time, text);
    return text;
}

TEST(FormatTimeStampTest, WritesSixUpperCaseHexPairs)
{
    const struct {
        SYSTEMTIME Time;
        const wchar_t* Expected;
    } cases[] = {
        { Time(2010, 3, 15, 14, 5, 9), L"28020F0E0509" },
        { Time(1970, 1, 1, 0, 0, 0), L"000001000000" },
        { Time(2225, 12, 31, 23, 59, 59), L"FF0B1F173B3B" },
        { Time(2024, 10, 26, 10, 42, 59), L"36091A0A2A3B" },
        // Years outside 1970 to 2225 wrap around modulo 256.
        { Time(2226, 1, 1, 0, 0, 0), L"000001000000" },
        { Time(1969, 1, 1, 0, 0, 0), L"FF0001000000" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::wstring(c.Expected), Formatted(c.Time)) << "year " << c.Time.wYear;
}

TEST(FormatTimeStampTest, RoundTripsWithParseTimeStamp)
{
    const SYSTEMTIME times[] = {
        Time(2010, 3, 15, 14, 5, 9), Time(1970, 1, 1, 0, 0, 0), Time(2225, 12, 31, 23, 59, 59),
        Time(2038, 1, 19, 3, 14, 8),
    };
    for (const SYSTEMTIME& time : times) {
        SYSTEMTIME parsed = {};
        ParseTimeStamp(Formatted(time).c_str(), &parsed);
        EXPECT_EQ(0, memcmp(&time, &parsed, sizeof(time))) << Formatted(time);
    }

    // Lower-case digits read back the same and are written in upper case.
    SYSTEMTIME parsed = {};
    ParseTimeStamp(L"36091a0a2a3b", &parsed);
    EXPECT_EQ(L"36091A0A2A3B", Formatted(parsed));
}

class SaveScanPositionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(IsWow64) << "the registry view tests need a 64-bit prefix";
        ResetMonitorSettings();
        DeleteTestKey(L"SOFTWARE\\kestu", View64);
        DeleteTestKey(L"SOFTWARE\\kestu", View32);
        CreateTestKey(QARLOV_KEY, View64);
        CopyAllocate(L"03152010.Log", &MonitorSettings->FileName);
    }
    void TearDown() override { DeleteTestKey(L"SOFTWARE\\kestu", View64); }

    // The position in the program's view, each text with its terminator
    // stored, and in the settings; a finished save leaves no pending value.
    void ExpectStoredPosition(DWORD instance, const wchar_t* timeStamp, const wchar_t* fileName,
                              ULONGLONG offset = 0)
    {
        DWORD storedInstance = 0;
        std::wstring storedTimeStamp, storedFileName;
        ASSERT_TRUE(QueryTestNumber(QARLOV_KEY, L"INSTANCE", View64, &storedInstance));
        ASSERT_TRUE(QueryTestText(QARLOV_KEY, L"TIMESTAMP", View64, &storedTimeStamp));
        ASSERT_TRUE(QueryTestText(QARLOV_KEY, L"FILENAME", View64, &storedFileName));
        EXPECT_EQ(instance, storedInstance);
        EXPECT_EQ(std::wstring(timeStamp) + L'\0', storedTimeStamp);
        EXPECT_EQ(std::wstring(fileName) + L'\0', storedFileName);
        EXPECT_EQ(instance, MonitorSettings->Instance);
        EXPECT_EQ(std::wstring(timeStamp), MonitorSettings->TimeStamp);
        EXPECT_EQ(std::wstring(fileName), MonitorSettings->FileName);
        TestValue storedOffset = QueryTestValue(QARLOV_KEY, L"OFFSET", View64);
        EXPECT_EQ((DWORD)REG_QWORD, storedOffset.Type);
        EXPECT_EQ(std::vector<BYTE>((const BYTE*)&offset, (const BYTE*)(&offset + 1)), storedOffset.Data);
        EXPECT_EQ(offset, MonitorSettings->Offset);
        DWORD check = 0;
        EXPECT_TRUE(QueryTestNumber(QARLOV_KEY, L"OFFSETCHECK", View64, &check));
        EXPECT_EQ(MonitorSettings->OffsetCheck, check);
        EXPECT_FALSE(TestValueExists(QARLOV_KEY, L"PENDINGPOSITION", View64));
    }

    static void Save(DWORD instance, const SYSTEMTIME& time, ULONGLONG offset = 0, const char* before = "")
    {
        DecodedEnd end = { offset, before, strlen(before) };
        SaveScanPosition(instance, &time, &end);
    }
};

TEST_F(SaveScanPositionTest, WritesInstanceTimeStampAndFileNameToTheProgramsView)
{
    SYSTEMTIME time = Time(2010, 3, 15, 14, 5, 9);
    time.wDayOfWeek = 1;
    time.wMilliseconds = 250;
    std::string output = CaptureConsoleOutput([&] { Save(3, time, 5000000000ull, "line\n"); });
    EXPECT_EQ("", output);

    ExpectStoredPosition(3, L"28020F0E0509", L"03152010.Log", 5000000000ull);
    EXPECT_EQ(ComputeOffsetCheck("line\n", 5), MonitorSettings->OffsetCheck);
    DWORD instance = 0;
    EXPECT_FALSE(QueryTestNumber(QARLOV_KEY, L"INSTANCE", View32, &instance)) << "written to the 32-bit view";
    EXPECT_EQ(0, memcmp(&time, &MonitorSettings->TimeStampTime, sizeof(time)));
}

TEST_F(SaveScanPositionTest, ASecondSaveReplacesThePositionSilently)
{
    SYSTEMTIME first = Time(2010, 3, 15, 14, 5, 9), second = Time(2010, 3, 16, 0, 0, 1);
    Save(3, first);
    FreeText(&MonitorSettings->FileName);
    CopyAllocate(L"03162010.Log", &MonitorSettings->FileName);
    std::string output = CaptureConsoleOutput([&] { Save(0, second); });
    EXPECT_EQ("", output) << "no warning about a filled TimeStamp slot";

    ExpectStoredPosition(0, L"280210000001", L"03162010.Log");
}

TEST_F(SaveScanPositionTest, AKeyThatCannotBeOpenedEndsTheProcess)
{
    DeleteTestKey(L"SOFTWARE\\kestu", View64);
    CreateTestKey(QARLOV_KEY, View32);  // the wrong view doesn't count
    SYSTEMTIME time = Time(2010, 3, 15, 14, 5, 9);
    EXPECT_ERROR_EXIT(Save(3, time),
                      "Error opening QARLOV registry key [\\HKLM\\SOFTWARE\\kestu\\QARLOV] for writing. Install "
                      "QARLOV reg file properly.");
    DeleteTestKey(L"SOFTWARE\\kestu", View32);
}

// What a process ended in the middle of a save leaves behind: the previous
// position in the three values and the new one in PENDINGPOSITION.
class InterruptedSaveTest : public SaveScanPositionTest {
protected:
    void SetUp() override
    {
        SaveScanPositionTest::SetUp();
        Save(3, Time(2010, 3, 15, 14, 5, 9));
    }
    void SetPending(const std::wstring& strings, DWORD type = REG_MULTI_SZ)
    {
        SetTestText(QARLOV_KEY, L"PENDINGPOSITION", strings, View64, 0, type);
    }
};

TEST_F(InterruptedSaveTest, ThePendingPositionReplacesTheStoredOneAndTheSaveIsFinished)
{
    const struct {
        const char* Case;
        std::wstring Strings;
        ULONGLONG Offset;
        DWORD OffsetCheck;
    } cases[] = {
        { "with its offset", std::wstring(L"280210000001\0" L"0\0" L"03162010.Log\0" L"5000000000\0" L"4294967295\0", 50),
          5000000000ull, 0xFFFFFFFFu },
        { "of an older version", std::wstring(L"280210000001\0" L"0\0" L"03162010.Log\0", 28), 0, 0 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Case);
        SetPending(c.Strings);
        std::string output = CaptureConsoleOutput([] { CompleteInterruptedScanPositionSave(); });
        EXPECT_NE(std::string::npos, output.find("Completing the interrupted save of the scan position 280210000001, "
                                                 "instance 0, file 03162010.Log."))
            << output;
        ExpectStoredPosition(0, L"280210000001", L"03162010.Log", c.Offset);
        EXPECT_EQ(c.OffsetCheck, MonitorSettings->OffsetCheck);
        SYSTEMTIME expected = Time(2010, 3, 16, 0, 0, 1);
        EXPECT_EQ(0, memcmp(&expected, &MonitorSettings->TimeStampTime, sizeof(expected)));
    }
}

TEST_F(InterruptedSaveTest, WithoutAPendingPositionNothingChanges)
{
    std::string output = CaptureConsoleOutput([] { CompleteInterruptedScanPositionSave(); });
    EXPECT_EQ("", output);
    ExpectStoredPosition(3, L"28020F0E0509", L"03152010.Log");
}

TEST_F(InterruptedSaveTest, AnUnreadablePendingPositionIsDeletedAndTheStoredOneKept)
{
    const struct {
        const char* Case;
        std::wstring Strings;
        DWORD Type;
    } cases[] = {
        { "a single text", std::wstring(L"280210000001"), REG_SZ },
        { "time stamp too short", std::wstring(L"28021000000\0" L"0\0" L"x.Log\0", 20), REG_MULTI_SZ },
        { "time stamp too long", std::wstring(L"2802100000011\0" L"0\0" L"x.Log\0", 22), REG_MULTI_SZ },
        { "no hex digits", std::wstring(L"28021000000G\0" L"0\0" L"x.Log\0", 21), REG_MULTI_SZ },
        { "instance missing", std::wstring(L"280210000001\0", 13), REG_MULTI_SZ },
        { "instance not a number", std::wstring(L"280210000001\0" L"-1\0" L"x.Log\0", 22), REG_MULTI_SZ },
        { "instance beyond 32 bits", std::wstring(L"280210000001\0" L"4294967296\0" L"x.Log\0", 30),
          REG_MULTI_SZ },
        { "offset not a number", std::wstring(L"280210000001\0" L"0\0" L"x.Log\0" L"1x\0" L"7\0", 26), REG_MULTI_SZ },
        { "offset without its check", std::wstring(L"280210000001\0" L"0\0" L"x.Log\0" L"12\0", 24), REG_MULTI_SZ },
        { "empty", std::wstring(), REG_MULTI_SZ },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Case);
        SetPending(c.Strings, c.Type);
        std::string output = CaptureConsoleOutput([] { CompleteInterruptedScanPositionSave(); });
        EXPECT_NE(std::string::npos, output.find("WARNING  Unreadable QARLOV registry entry [PENDINGPOSITION] "
                                                 "deleted; the scan position stays as INSTANCE and TIMESTAMP give "
                                                 "it. -> "))
            << output;
        ExpectStoredPosition(3, L"28020F0E0509", L"03152010.Log");
    }
}

TEST_F(InterruptedSaveTest, TheLargestInstanceAndAnEmptyFileNameAreRead)
{
    SetPending(std::wstring(L"280210000001\0" L"4294967295\0" L"\0", 25));
    CaptureConsoleOutput([] { CompleteInterruptedScanPositionSave(); });
    ExpectStoredPosition(0xFFFFFFFFu, L"280210000001", L"");
}

// The check ties an offset to the bytes before it and to the position it was
// stored with: a change of any of them is seen.
TEST_F(SaveScanPositionTest, TheOffsetCheckCoversTheBytesBeforeItAndThePosition)
{
    Save(3, Time(2010, 3, 15, 14, 5, 9));
    const DWORD original = ComputeOffsetCheck("x,51,1,2\r\n", 10);
    const struct {
        const char* Case;
        void (*Change)(void);
        const char* Bytes;
        bool SameCheck;
    } cases[] = {
        { "nothing changed", [] {}, "x,51,1,2\r\n", true },
        { "one byte before", [] {}, "x,51,1,3\r\n", false },
        { "the time stamp", [] { Save(3, Time(2010, 3, 15, 14, 5, 10)); }, "x,51,1,2\r\n", false },
        { "the instance", [] { Save(4, Time(2010, 3, 15, 14, 5, 9)); }, "x,51,1,2\r\n", false },
        { "the file name",
          [] {
              FreeText(&MonitorSettings->FileName);
              CopyAllocate(L"03162010.Log", &MonitorSettings->FileName);
              Save(3, Time(2010, 3, 15, 14, 5, 9));
          },
          "x,51,1,2\r\n", false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Case);
        c.Change();
        EXPECT_EQ(c.SameCheck, ComputeOffsetCheck(c.Bytes, 10) == original);
    }
}

}  // namespace
