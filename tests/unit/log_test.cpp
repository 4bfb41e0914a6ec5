// The logger: line layout, labels, the last-error tail, the 8191-character
// limit, the information filter and the error exit.
#include "core/console.h"
#include "core/log.h"
#include "core/runstate.h"
#include "tests/unit/error_exit.h"
#include "tests/unit/test_support.h"
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetMonitorSettings();
        SetConsoleModeCache(TRUE);
    }
};

std::string LogLine(LogLevel level, DWORD lastError, const wchar_t* format, const wchar_t* argument)
{
    return CaptureConsoleOutput([&] {
        SetLastError(lastError);
        LogMessage(level, format, argument);
    });
}

struct LabelCase {
    LogLevel Level;
    const char* Label;
};

TEST_F(LogTest, ConsoleLineHasDateTimeLabelAndText)
{
    const LabelCase cases[] = {
        { LogLevelWarning, "WARNING" },
        { LogLevelInformation, "       " },
        { 0, "UNKOWN " },
        { 4, "UNKOWN " },
    };
    for (const LabelCase& c : cases) {
        std::string line = LogLine(c.Level, 0, L"%s", L"text of the entry");
        std::regex layout(std::string("^\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d  ") + c.Label +
                          "  text of the entry\r\n$");
        EXPECT_TRUE(std::regex_match(line, layout)) << "level " << c.Level << ": [" << line << "]";
    }
}

TEST_F(LogTest, WideStringArgumentsAreFormattedAsWideText)
{
    std::string line = LogLine(LogLevelWarning, 0, L"[%s]", L"wide \x00e9");
    EXPECT_THAT(line, EndsWith("  [wide \xe9]\r\n"));
}

TEST_F(LogTest, WarningGetsTheSystemTextOfTheLastError)
{
    std::string withError = LogLine(LogLevelWarning, ERROR_FILE_NOT_FOUND, L"%s", L"open failed");
    EXPECT_THAT(withError, HasSubstr("  open failed -> "));
    EXPECT_THAT(withError, EndsWith("\r\n"));
    EXPECT_THAT(withError, ::testing::Not(HasSubstr("\r\r")));
    EXPECT_GT(withError.size(), std::string("00/00/00 00:00:00  WARNING  open failed -> \r\n").size());

    std::string withoutError = LogLine(LogLevelWarning, 0, L"%s", L"open failed");
    EXPECT_THAT(withoutError, EndsWith("  open failed\r\n"));
}

TEST_F(LogTest, InformationNeverGetsTheTail)
{
    std::string line = LogLine(LogLevelInformation, ERROR_ACCESS_DENIED, L"%s", L"note");
    EXPECT_THAT(line, EndsWith("  note\r\n"));
    EXPECT_THAT(line, ::testing::Not(HasSubstr("->")));
}

TEST_F(LogTest, LoggingKeepsTheCallersLastError)
{
    CaptureConsoleOutput([] {
        SetLastError(ERROR_ACCESS_DENIED);
        LogMessage(LogLevelInformation, L"note");
        EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    });
}

TEST_F(LogTest, DebugOutputZeroSuppressesInformationOnly)
{
    SetDebugOutput(0);
    EXPECT_EQ("", LogLine(LogLevelInformation, 0, L"%s", L"hidden"));
    EXPECT_THAT(LogLine(LogLevelWarning, 0, L"%s", L"shown"), EndsWith("  shown\r\n"));
}

TEST_F(LogTest, EntryOf8191CharactersIsWrittenWhole)
{
    std::wstring text(8191, L'x');
    std::string line = LogLine(LogLevelWarning, 0, L"%s", text.c_str());
    EXPECT_THAT(line, EndsWith("  " + std::string(8191, 'x') + "\r\n"));
}

TEST_F(LogTest, EntryOf8192CharactersIsDroppedWithAWarning)
{
    std::wstring text(8192, L'x');
    std::string line = LogLine(LogLevelWarning, 0, L"%s", text.c_str());
    EXPECT_EQ("WARNING: Could not format message [%s].", line);
}

TEST_F(LogTest, ErrorEntryPrintsProgramStoppedAndExitsWithOne)
{
    EXPECT_ERROR_EXIT_THAT(
        {
            SetLastError(0);
            LogMessage(LogLevelError, L"fatal %d", 42);
        },
        "fatal 42", ::testing::Truly([](const std::string& output) {
            std::string text;
            for (char c : output)
                if (c != '\r')
                    text += c;
            return text.find("  ERROR    fatal 42\n\nProgram stopped.\n\n") != std::string::npos;
        }));
}

TEST_F(LogTest, ErrorEntryThatCannotBeFormattedStillExitsWithOne)
{
    std::wstring text(9000, L'y');
    EXPECT_CONSOLE_EXIT(LogMessage(LogLevelError, L"%s", text.c_str()), 1,
                        MatchesRegex("WARNING: Could not format message \\[%s\\]\\.$"));
}

TEST_F(LogTest, ErrorEntryInServiceModeExitsWithOneAndReleasesTheGlobals)
{
    EXPECT_EXIT(
        {
            SetConsoleModeCache(FALSE);
            LogMessage(LogLevelError, L"fatal in service mode");
        },
        ::testing::ExitedWithCode(1), "");
}

TEST_F(LogTest, UnknownLevelDoesNotEndTheProcessInServiceMode)
{
    SetConsoleModeCache(FALSE);
    LogMessage(4, L"odd level");
    LogMessage(0, L"odd level");
    SetConsoleModeCache(TRUE);
    // Reaching this line means neither entry ended the process; both went
    // to the event log through the registered source.
    EXPECT_NE(nullptr, EventSourceHandle);
}

} // namespace
