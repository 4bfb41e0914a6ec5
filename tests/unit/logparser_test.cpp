// Decoding of antivirus log lines, the rule and position tests, the instance
// count, both action strategies, lines still being written and a stop
// between lines. The Message action ("%04 %00": the line's computer field
// and time) witnesses each line whose actions ran; the registry shows the
// scan position that was saved last.
#include "monitor/logparser.h"
#include "core/limits.h"
#include "core/seams.h"
#include "tests/unit/monitor_fixture.h"
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

using namespace monitor_fixture;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

LineCursor CursorOver(const std::string& bytes)
{
    LineCursor cursor = { bytes.data(), bytes.data() + bytes.size() };
    return cursor;
}

TEST(ParseHexByteTest, DecodesEachCharacterOnItsOwn)
{
    struct Case {
        const char* Text;
        int Value;
    } cases[] = {
        { "00", 0 },    { "09", 9 },    { "0a", 10 }, { "0A", 10 }, { "ff", 255 }, { "Ff", 255 },
        { "35", 0x35 }, { "g1", 1 },    { "1g", 16 }, { "  ", 0 },  { "-1", 1 },   { "\xff" "1", 1 },
    };
    for (const Case& c : cases) {
        std::string text = std::string(c.Text) + "77";
        LineCursor cursor = CursorOver(text);
        EXPECT_EQ(c.Value, ParseHexByte(&cursor)) << c.Text;
        EXPECT_EQ(text.data() + 2, cursor.Position) << c.Text;
    }
}

TEST(ParseHexByteTest, AMissingCharacterAtTheLineEndCountsAsZero)
{
    std::string text = "A7";
    LineCursor cursor = { text.data(), text.data() + 1 };
    EXPECT_EQ(0xA0, ParseHexByte(&cursor));
    EXPECT_EQ(cursor.End, cursor.Position);
    EXPECT_EQ(0, ParseHexByte(&cursor));
    EXPECT_EQ(cursor.End, cursor.Position);
}

struct NumberCase {
    const char* Field;
    LONG Value;
    size_t Consumed;  // characters the cursor moves on, comma included
};

// Each row also checks that strtol reads the same value and stops at the
// same place, so the table states strtol's behaviour.
TEST(ParseNumberFieldTest, ReadsLikeStrtolAndMovesPastTheComma)
{
    const NumberCase cases[] = {
        { "51,1", 51, 3 },
        { "", 0, 0 },
        { ",2", 0, 1 },
        { "abc,", 0, 0 },
        { " 42,", 42, 4 },
        { "\t+7", 7, 3 },
        { "\v\f\r 9", 9, 5 },
        { "-13,x", -13, 4 },
        { "12abc,", 12, 2 },
        { "- 5", 0, 0 },
        { "+,", 0, 0 },
        { "0x1A", 0, 1 },
        { "2147483647", LONG_MAX, 10 },
        { "2147483648", LONG_MAX, 10 },
        { "4294967295,", LONG_MAX, 11 },
        { "-2147483648", LONG_MIN, 11 },
        { "-2147483649", LONG_MIN, 11 },
        { "-99999999999999999999999", LONG_MIN, 24 },
        { "000000000000000000000000000012,", 12, 31 },
    };
    for (const NumberCase& c : cases) {
        std::string field = c.Field;
        LineCursor cursor = CursorOver(field);
        EXPECT_EQ(c.Value, ParseNumberField(&cursor)) << "[" << c.Field << "]";
        EXPECT_EQ(c.Consumed, (size_t)(cursor.Position - field.data())) << "[" << c.Field << "]";

        char* end = NULL;
        EXPECT_EQ(c.Value, strtol(field.c_str(), &end, 10)) << "strtol [" << c.Field << "]";
        size_t strtolConsumed = (size_t)(end - field.c_str());
        if (strtolConsumed < field.size() && field[strtolConsumed] == ',')
            ++strtolConsumed;
        EXPECT_EQ(c.Consumed, strtolConsumed) << "strtol [" << c.Field << "]";
    }
}

TEST(ParseNumberFieldTest, NeverReadsBeyondTheLineEnd)
{
    struct Case {
        const char* Bytes;
        size_t LineLength;
        LONG Value;
        size_t Consumed;
    } cases[] = {
        { "123", 2, 12, 2 },
        { "  7", 2, 0, 0 },
        { "5,6", 1, 5, 1 },
        { "-\n8", 1, 0, 0 },
        { "\n42", 0, 0, 0 },
    };
    for (const Case& c : cases) {
        std::string bytes = c.Bytes;
        LineCursor cursor = { bytes.data(), bytes.data() + c.LineLength };
        EXPECT_EQ(c.Value, ParseNumberField(&cursor)) << "[" << c.Bytes << "]";
        EXPECT_EQ(c.Consumed, (size_t)(cursor.Position - bytes.data())) << "[" << c.Bytes << "]";
    }
}

std::wstring ExtractFrom(LineCursor* cursor, UINT codePage)
{
    wchar_t* text = NULL;
    ExtractTextField(cursor, codePage, &text);
    EXPECT_NE(nullptr, text);
    std::wstring result = text != NULL ? text : L"<null>";
    FreeText(&text);
    return result;
}

// The rows in code pages 1251, 932 and 1252 hold the bytes that the syslog
// table (actions_test) sends back for the same characters.
TEST(ExtractTextFieldTest, DecodesTheFieldUpToTheCommaOrTheLineEnd)
{
    struct Case {
        UINT CodePage;
        const char* Bytes;
        size_t LineLength;
        const wchar_t* Text;
        size_t Consumed;
    } cases[] = {
        { 1252, "HOST01,alice", 12, L"HOST01", 7 },
        { 1252, ",x", 2, L"", 1 },
        { 1252, "", 0, L"", 0 },
        { 1252, "a\xe9\xff", 3, L"a\u00e9\u00ff", 3 },
        { 1252, "abc,def", 2, L"ab", 2 },
        { 1252, "C:\\x.com\r", 8, L"C:\\x.com", 8 },
        { 1252, "\x80 \x85,", 4, L"\u20ac \u2026", 4 },
        { 1251, "C:\\\xe2\xe8\xf0\xf3\xf1\\\xf4\xe0\xe9\xeb.exe", 17, L"C:\\\u0432\u0438\u0440\u0443\u0441\\\u0444\u0430\u0439\u043b.exe", 17 },
        // 0x5C, the backslash, is the trail byte of U+8868.
        { 932, "C:\\\x95\x5c\\a", 7, L"C:\\\u8868\\a", 7 },
        // A double-byte character cut by the line's end; its trail byte lies beyond.
        { 932, "\x95\x5c\x95\x5c", 3, L"\u8868\x0095", 3 },
        // A lead byte followed by a byte that is no trail byte.
        { 932, "\x95 a,b", 5, L"\x0095 a", 4 },
    };
    for (const Case& c : cases) {
        std::string bytes = c.Bytes;
        LineCursor cursor = { bytes.data(), bytes.data() + c.LineLength };
        EXPECT_EQ(c.Text, ExtractFrom(&cursor, c.CodePage)) << c.CodePage << " [" << c.Bytes << "]";
        EXPECT_EQ(c.Consumed, (size_t)(cursor.Position - bytes.data())) << c.CodePage << " [" << c.Bytes << "]";
    }
}

TEST(ExtractTextFieldTest, KeepsTheFirst8191CharactersOfALongerField)
{
    struct Case {
        UINT CodePage;
        const char* Unit;  // the bytes of one character
        wchar_t Character;
        size_t Count;
    } cases[] = {
        { 1252, "x", L'x', 8191 },
        { 1252, "x", L'x', 8192 },
        { 1252, "x", L'x', 20000 },
        { 932, "\x95\x5c", L'\u8868', 5000 },
        { 932, "\x95\x5c", L'\u8868', 9000 },
    };
    for (const Case& c : cases) {
        std::string bytes;
        for (size_t i = 0; i < c.Count; ++i)
            bytes += c.Unit;
        bytes += ",next";
        LineCursor cursor = CursorOver(bytes);
        EXPECT_EQ(std::wstring(std::min(c.Count, (size_t)TextLimit - 1), c.Character), ExtractFrom(&cursor, c.CodePage))
            << c.CodePage << " " << c.Count;
        EXPECT_EQ(L"next", ExtractFrom(&cursor, c.CodePage)) << c.Count;
        EXPECT_EQ(cursor.End, cursor.Position);
    }
}

TEST(SkipFieldTest, MovesPastTheCommaOrToTheLineEnd)
{
    std::string bytes = "x,yz";
    LineCursor cursor = CursorOver(bytes);
    SkipField(&cursor);
    EXPECT_EQ(bytes.data() + 2, cursor.Position);
    SkipField(&cursor);
    EXPECT_EQ(cursor.End, cursor.Position);
    SkipField(&cursor);
    EXPECT_EQ(cursor.End, cursor.Position);
}

class ProcessFileContentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetMonitorRule();
        ConfigureMessageAction(L"%04 %00");
        WriteRegistryPosition(SentinelPosition);
    }

    // The Message texts of the lines whose actions ran. The content is read
    // from its beginning by the time stamp and instance, or as what follows
    // the stored offset (resumed); finished: the file grows no more.
    std::vector<std::string> Process(const std::string& content, bool finished = false, bool resumed = false)
    {
        std::string output = CaptureConsoleOutput([&] {
            if (!finished && !resumed) {
                ProcessFileContent(content.c_str());
                return;
            }
            ScanState scan;
            BeginScan(&scan, 0, resumed);
            LogPiece piece = { content.data(), content.size(), 0, 0 };
            ProcessLogPiece(&scan, &piece, finished);
            FinishScan(&scan);
        });
        EXPECT_EQ(nullptr, CurrentRecord);
        return WarningTexts(output);
    }

    static void ExpectPositionInMemory(const RegistryPosition& expected)
    {
        MonitorSettingsRecord* settings = MonitorSettings;
        EXPECT_EQ(expected.Instance, settings->Instance);
        EXPECT_EQ(expected.TimeStamp, std::wstring(settings->TimeStamp));
        SYSTEMTIME time = TimeFromStamp(std::string(expected.TimeStamp.begin(), expected.TimeStamp.end()).c_str());
        EXPECT_EQ(0, memcmp(&time, &settings->TimeStampTime, sizeof(time)));
    }
};

TEST_F(ProcessFileContentTest, EmptyContentChangesNothing)
{
    EXPECT_THAT(Process(""), IsEmpty());
    EXPECT_EQ(SentinelPosition, ReadRegistryPosition());
    ExpectPositionInMemory({ 0, L"000001000000", L"" });
}

TEST_F(ProcessFileContentTest, DecodesTheTimeAndAllFieldsOfAHandledLine)
{
    FreeText(&MonitorSettings->Message->Message);
    CopyAllocate(L"%00|%01|%02|%03|%04|%05|%06|%07|%08", &MonitorSettings->Message->Message);
    EXPECT_THAT(Process(LogLine(Stamp5)),
                ElementsAre("17.05.2023 14:30:05|51|1|2|HOST01|alice|EICAR Test String|C:\\Users\\alice\\eicar.com|4"));
    RegistryPosition expected = { 0, L"3504110E1E05", L"05172023.Log" };
    EXPECT_EQ(expected, ReadRegistryPosition());
    ExpectPositionInMemory(expected);
}

TEST_F(ProcessFileContentTest, MonthByteZeroIsJanuaryAndHexDigitsHaveEitherCase)
{
    EXPECT_THAT(Process(LogLine("35000a0A0b0C")), ElementsAre("HOST01 10.01.2023 10:11:12"));
    EXPECT_EQ(L"35000A0A0B0C", ReadRegistryPosition().TimeStamp);
}

TEST_F(ProcessFileContentTest, ReadsField11AsANumber)
{
    FreeText(&MonitorSettings->Message->Message);
    CopyAllocate(L"%08", &MonitorSettings->Message->Message);
    EXPECT_THAT(Process(std::string(Stamp5) + ",51,1,2,a,b,c,d,e,f,-7,x\r\n" + Stamp6 +
                        ",51,1,2,a,b,c,d,e,f,4294967295,x\r\n" + Stamp7 + ",51,1,2,a,b,c,d,e,f, +12\r\n"),
                ElementsAre("-7", "2147483647", "12"));
}

std::string Line(const char* id, const char* stamp, int event = 51, int category = 1, int logger = 2)
{
    return LogLine(stamp, id, event, category, logger);
}

struct PositionCase {
    const char* Name;
    const char* StoredStamp;
    DWORD StoredInstance;
    std::vector<std::string> Lines;
    std::vector<const char*> Handled;  // computer fields of the lines whose actions ran
    RegistryPosition Saved;
    bool Finished = false;             // read as a file that grows no more
    bool Resumed = false;              // read on from the stored offset
};

TEST_F(ProcessFileContentTest, PositionAndInstanceRules)
{
    // Decoded lines move the offset: the position is then saved unchanged.
    const RegistryPosition unchanged = { 0, L"3504110E1E05", L"05172023.Log" };
    const PositionCase cases[] = {
        { "equal time: the stored instance is passed over", Stamp5, 0,
          { Line("L1", Stamp5), Line("L2", Stamp5) }, { "L2" }, { 1, L"3504110E1E05", L"05172023.Log" } },
        { "a later time starts again at instance 0", Stamp5, 0,
          { Line("L1", Stamp5), Line("L2", Stamp5), Line("L3", Stamp6) }, { "L2", "L3" },
          { 0, L"3504110E1E06", L"05172023.Log" } },
        { "stored instance 1: the first two are passed over", Stamp5, 1,
          { Line("L1", Stamp5), Line("L2", Stamp5), Line("L3", Stamp5) }, { "L3" },
          { 2, L"3504110E1E05", L"05172023.Log" } },
        { "lines that fail the rule don't interrupt the run", Stamp5, 1,
          { Line("L1", Stamp5), Line("X1", Stamp5, 50), Line("X2", Stamp5, 51, 2), Line("X3", Stamp5, 51, 1, 3),
            Line("L2", Stamp5), Line("L3", Stamp5) },
          { "L3" }, { 2, L"3504110E1E05", L"05172023.Log" } },
        { "an older matching line resets the count", Stamp5, 0,
          { Line("L1", Stamp5), Line("L2", Stamp4), Line("L3", Stamp5) }, {}, unchanged },
        { "after an older line the count starts again", Stamp5, 0,
          { Line("L1", Stamp4), Line("L2", Stamp5), Line("L3", Stamp5) }, { "L3" },
          { 1, L"3504110E1E05", L"05172023.Log" } },
        { "new lines of one time count on from the moved position", Stamp5, 0,
          { Line("L1", Stamp6), Line("L2", Stamp6), Line("L3", Stamp6) }, { "L1", "L2", "L3" },
          { 2, L"3504110E1E06", L"05172023.Log" } },
        { "a line older than the moved position is passed over", Stamp5, 0,
          { Line("L1", Stamp6), Line("L2", Stamp7), Line("L3", Stamp7), Line("L4", Stamp6) }, { "L1", "L2", "L3" },
          { 1, L"3504110E1E07", L"05172023.Log" } },
        { "an old matching line moves only the offset", Stamp5, 0, { Line("L1", Stamp4) }, {}, unchanged },
        { "a new line that fails the rule moves only the offset", Stamp5, 0,
          { Line("X1", Stamp6, 5), Line("X2", Stamp6, 51, 3), Line("X3", Stamp6, 51, 1, 0) }, {}, unchanged },
        { "a last line without a line feed is still being written", Stamp5, 0,
          { Line("L1", Stamp6), "3504110E1E07,51,1,2,L2,alice" }, { "L1" }, { 0, L"3504110E1E06", L"05172023.Log" } },
        { "a finished file's last line needs no line feed", Stamp5, 0,
          { Line("L1", Stamp6), "3504110E1E07,51,1,2,L2,alice" }, { "L1", "L2" },
          { 0, L"3504110E1E07", L"05172023.Log" }, true },
        { "lines ended by a bare line feed", Stamp5, 0,
          { "3504110E1E06,51,1,2,L1,alice\n", "3504110E1E06,51,1,2,L2,alice\n" }, { "L1", "L2" },
          { 1, L"3504110E1E06", L"05172023.Log" } },
        { "resumed at the offset, an older line is new", Stamp5, 0,
          { Line("L1", Stamp4), Line("L2", Stamp4), Line("X1", Stamp8, 5) }, { "L1", "L2" },
          { 1, L"3504110E1E04", L"05172023.Log" }, false, true },
        { "resumed at the offset, the stored time stamp counts on", Stamp5, 1,
          { Line("L1", Stamp5), Line("L2", Stamp6) }, { "L1", "L2" }, { 0, L"3504110E1E06", L"05172023.Log" },
          false, true },
    };
    for (const PositionCase& c : cases) {
        SetUp();
        SetStoredPosition(c.StoredStamp, c.StoredInstance);
        std::string content;
        for (const std::string& line : c.Lines)
            content += line;
        std::vector<std::string> handled;
        for (const std::string& text : Process(content, c.Finished, c.Resumed))
            handled.push_back(text.substr(0, text.find(' ')));
        EXPECT_THAT(handled, ElementsAreArray(std::vector<std::string>(c.Handled.begin(), c.Handled.end())))
            << c.Name;
        EXPECT_EQ(c.Saved, ReadRegistryPosition()) << c.Name;
        ExpectPositionInMemory(c.Saved);
        // The offset covers every decoded line, also those that ran nothing.
        size_t decoded = c.Finished ? content.size() : content.rfind('\n') + 1;
        EXPECT_EQ(decoded, ReadRegistryOffset()) << c.Name;
    }
}

TEST_F(ProcessFileContentTest, DayOfWeekAndMillisecondsOfTheStoredTimeTakeNoPart)
{
    SetStoredPosition(Stamp5, 0);
    MonitorSettings->TimeStampTime.wDayOfWeek = 3;
    MonitorSettings->TimeStampTime.wMilliseconds = 500;
    EXPECT_THAT(Process(Line("L1", Stamp5) + Line("L2", Stamp5)), ElementsAre("L2 17.05.2023 14:30:05"));
    EXPECT_EQ(1u, MonitorSettings->Instance);
}

TEST_F(ProcessFileContentTest, ReadingAgainHandlesOnlyTheLinesCompletedSince)
{
    SetStoredPosition(Stamp5, 0);
    std::string content = Line("L1", Stamp5) + Line("L2", Stamp6) + Line("L3", Stamp6) + Line("L4", Stamp7);
    EXPECT_EQ(3u, Process(content).size());
    RegistryPosition saved = ReadRegistryPosition();
    EXPECT_EQ((RegistryPosition{ 0, L"3504110E1E07", L"05172023.Log" }), saved);

    WriteRegistryPosition(SentinelPosition);
    EXPECT_THAT(Process(content), IsEmpty());
    EXPECT_EQ(SentinelPosition, ReadRegistryPosition());

    // A line caught in the middle of its append waits for its line feed,
    // then is handled once, complete.
    const std::string L5 = Line("L5", Stamp7);
    EXPECT_THAT(Process(content + L5.substr(0, 20)), IsEmpty());
    EXPECT_THAT(Process(content + L5.substr(0, L5.size() - 1)), IsEmpty());
    EXPECT_EQ(SentinelPosition, ReadRegistryPosition());
    EXPECT_THAT(Process(content + L5), ElementsAre("L5 17.05.2023 14:30:07"));
    EXPECT_EQ((RegistryPosition{ 1, L"3504110E1E07", L"05172023.Log" }), ReadRegistryPosition());
    EXPECT_THAT(Process(content + L5), IsEmpty());
}

TEST_F(ProcessFileContentTest, StrategyOneRunsTheActionsForTheFirstNewLineOfEachScan)
{
    MonitorSettings->ActionStrategy = 1;
    SetStoredPosition(Stamp5, 0);
    std::string content = Line("L1", Stamp5) + Line("L2", Stamp6) + Line("L3", Stamp7) + Line("L4", Stamp7);
    EXPECT_THAT(Process(content), ElementsAre("L2 17.05.2023 14:30:06"));
    EXPECT_EQ((RegistryPosition{ 1, L"3504110E1E07", L"05172023.Log" }), ReadRegistryPosition());

    // The next trigger is a new scan: its first new line runs the actions.
    EXPECT_THAT(Process(content + Line("L5", Stamp7) + Line("L6", Stamp8)), ElementsAre("L5 17.05.2023 14:30:07"));
    EXPECT_EQ((RegistryPosition{ 0, L"3504110E1E08", L"05172023.Log" }), ReadRegistryPosition());
}

// The Dialog action of the line of computer L2 asks for a stop, as a
// service stop during a line's actions does.
BOOL WINAPI ShowDialogAndStopAtL2(HANDLE, DWORD, LPWSTR, DWORD, LPWSTR message, DWORD, DWORD, DWORD, DWORD*, BOOL)
{
    if (wcscmp(message, L"L2") == 0)
        RequestStop();
    return TRUE;
}

DWORD WINAPI ConsoleSessionOne(void)
{
    return 1;
}

TEST_F(ProcessFileContentTest, AStopDuringALinesActionsEndsTheReadingAfterThatLine)
{
    PlatformCalls saved = Platform;
    Platform.GetActiveConsoleSessionId = ConsoleSessionOne;
    Platform.SendMessageToSession = ShowDialogAndStopAtL2;
    DialogAction* dialog = (DialogAction*)calloc(1, sizeof(DialogAction));
    CopyAllocate(L"%04", &dialog->Message);
    CopyAllocate(L"QARLOV", &dialog->Title);
    MonitorSettings->Dialog = dialog;
    SetStoredPosition(Stamp5, 0);
    std::string content = Line("L1", Stamp6) + Line("L2", Stamp7) + Line("L3", Stamp8);

    // L2's actions all run and its position is saved; L3 is not touched.
    EXPECT_THAT(Process(content), ElementsAre("L1 17.05.2023 14:30:06", "L2 17.05.2023 14:30:07"));
    EXPECT_EQ((RegistryPosition{ 0, L"3504110E1E07", L"05172023.Log" }), ReadRegistryPosition());
    StopRequested = 0;

    // The next start reads on from there.
    EXPECT_THAT(Process(content), ElementsAre("L3 17.05.2023 14:30:08"));
    Platform = saved;
}

TEST_F(ProcessFileContentTest, WithoutActionsTheNewLinesStillMoveThePosition)
{
    FreeText(&MonitorSettings->Message->Message);
    free(MonitorSettings->Message);
    MonitorSettings->Message = NULL;
    SetStoredPosition(Stamp5, 0);
    EXPECT_THAT(Process(Line("L1", Stamp6) + Line("L2", Stamp6)), IsEmpty());
    EXPECT_EQ((RegistryPosition{ 1, L"3504110E1E06", L"05172023.Log" }), ReadRegistryPosition());
}

// Short lines are decoded within their own bytes: an empty or cut-off line
// never hides the matching line behind it, and the missing fields of a
// short matching line read as empty texts and 0.
TEST_F(ProcessFileContentTest, ShortLinesKeepToTheirOwnBytes)
{
    struct Case {
        const char* Name;
        std::string Content;
        std::vector<const char*> Texts;
    } cases[] = {
        { "empty lines", "\r\n\n" + Line("L1", Stamp6), { "L1|alice|EICAR Test String|C:\\Users\\alice\\eicar.com|4" } },
        { "cut-off time", "3504110E1E\r\n" + Line("L1", Stamp6),
          { "L1|alice|EICAR Test String|C:\\Users\\alice\\eicar.com|4" } },
        { "cut-off numbers", "3504110E1E06,51,1,\r\n" + Line("L1", Stamp6),
          { "L1|alice|EICAR Test String|C:\\Users\\alice\\eicar.com|4" } },
        { "five fields", "3504110E1E06,51,1,2,HOST01\r\n" + Line("L2", Stamp6),
          { "HOST01||||0", "L2|alice|EICAR Test String|C:\\Users\\alice\\eicar.com|4" } },
        { "eight fields", "3504110E1E06,51,1,2,A,B,C,D\r\n", { "A|B|C|D|0" } },
        { "four fields", "3504110E1E06,51,1,2\r\n", { "||||0" } },
        { "eleven fields, CR LF", "3504110E1E06,51,1,2,A,B,C,D,1,3,77\r\n", { "A|B|C|D|77" } },
    };
    for (const Case& c : cases) {
        SetUp();
        SetStoredPosition(Stamp5, 0);
        FreeText(&MonitorSettings->Message->Message);
        CopyAllocate(L"%04|%05|%06|%07|%08", &MonitorSettings->Message->Message);
        EXPECT_THAT(Process(c.Content), ElementsAreArray(std::vector<std::string>(c.Texts.begin(), c.Texts.end()))) << c.Name;
    }
}

TEST_F(ProcessFileContentTest, FieldsAfterAnOverlongFieldAreReadInFull)
{
    FreeText(&MonitorSettings->Message->Message);
    CopyAllocate(L"%05|%06|%07|%08", &MonitorSettings->Message->Message);
    SetStoredPosition(Stamp5, 0);
    EXPECT_THAT(Process("3504110E1E06,51,1,2," + std::string(9000, 'x') + ",B,C,D,1,3,5\r\n"),
                ElementsAre("B|C|D|5"));
}

}  // namespace
