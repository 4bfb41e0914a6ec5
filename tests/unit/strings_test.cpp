// The bounded string utilities: results, limits and their exact errors.
#include "config/strings.h"
#include "config/settings.h"
#include "core/limits.h"
#include "core/runstate.h"
#include "tests/unit/error_exit.h"
#include "tests/unit/test_support.h"
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using ::testing::HasSubstr;

namespace {

class StringsTest : public ::testing::Test {
protected:
    void SetUp() override { ResetMonitorSettings(); }
};

// A text buffer of TextLimit characters holding text.
std::vector<wchar_t> TextBuffer(const std::wstring& text)
{
    std::vector<wchar_t> buffer(TextLimit, L'#');
    std::copy(text.begin(), text.end(), buffer.begin());
    buffer[text.size()] = L'\0';
    return buffer;
}

std::wstring Replaced(const std::wstring& text, const wchar_t* search, const wchar_t* replacement)
{
    std::vector<wchar_t> buffer = TextBuffer(text);
    Replace(buffer.data(), search, replacement);
    return std::wstring(buffer.data());
}

std::wstring Repeat(const std::wstring& part, size_t count)
{
    std::wstring text;
    for (size_t i = 0; i < count; ++i)
        text += part;
    return text;
}

// --- CopyAllocate ---------------------------------------------------------

TEST_F(StringsTest, CopyAllocateOfNullLeavesTheSlotNullSilently)
{
    wchar_t* slot = NULL;
    std::string output = CaptureConsoleOutput([&] { CopyAllocate(NULL, &slot); });
    EXPECT_EQ(nullptr, slot);
    EXPECT_EQ("", output);
}

TEST_F(StringsTest, CopyAllocateOfEmptyTextGivesAnEmptyOwnedText)
{
    wchar_t* slot = NULL;
    CopyAllocate(L"", &slot);
    ASSERT_NE(nullptr, slot);
    EXPECT_EQ(std::wstring(), slot);
    FreeText(&slot);
    EXPECT_EQ(nullptr, slot);
}

TEST_F(StringsTest, CopyAllocateIntoAFilledSlotWarnsAndReplacesTheText)
{
    wchar_t* slot = NULL;
    CopyAllocate(L"old", &slot);
    std::string output = CaptureConsoleOutput([&] {
        SetLastError(0);
        CopyAllocate(L"new", &slot);
    });
    EXPECT_THAT(output, HasSubstr("  WARNING  Destination pointer not NULL in CopyAllocate.\r\n"));
    EXPECT_EQ(std::wstring(L"new"), slot);

    // Refilling a slot from its own text keeps the text.
    CaptureConsoleOutput([&] { CopyAllocate(slot, &slot); });
    EXPECT_EQ(std::wstring(L"new"), slot);

    CaptureConsoleOutput([&] { CopyAllocate(NULL, &slot); });
    EXPECT_EQ(nullptr, slot);
}

TEST_F(StringsTest, CopyAllocateTakesTextsUpTo8191Characters)
{
    std::wstring longest(8191, L'k');
    wchar_t* slot = NULL;
    CopyAllocate(longest.c_str(), &slot);
    EXPECT_EQ(longest, slot);
    FreeText(&slot);

    std::vector<wchar_t> unterminated(TextLimit + 8, L'k');
    unterminated.back() = L'\0';
    EXPECT_ERROR_EXIT(CopyAllocate(unterminated.data(), &slot),
                      "Error determining the length of the input string in CopyAllocate.");
}

// --- Replace --------------------------------------------------------------

struct ReplaceCase {
    const wchar_t* Text;
    const wchar_t* Search;
    const wchar_t* Replacement;
    const wchar_t* Expected;
};

TEST_F(StringsTest, ReplaceReplacesEveryOccurrenceLeftToRight)
{
    const ReplaceCase cases[] = {
        { L"x{BR}y{BR}", L"{BR}", L"\n", L"x\ny\n" },
        { L"a{BR}b", L"{BR}", L"\n", L"a\nb" },
        { L"{BR}{BR}", L"{BR}", L"\n", L"\n\n" },
        { L"no brace here", L"{BR}", L"\n", L"no brace here" },
        { L"", L"{BR}", L"\n", L"" },
        { L"{B", L"{BR}", L"\n", L"{B" },
        { L"abc{B", L"{BR}", L"\n", L"abc{B" },
        { L"{BR", L"{BR}", L"\n", L"{BR" },
        { L"{BR}}", L"{BR}", L"\n", L"\n}" },
        // An occurrence that starts inside a failed partial match is found.
        { L"{{BR}", L"{BR}", L"\n", L"{\n" },
        { L"{B{BR}R}", L"{BR}", L"\n", L"{B\nR}" },
        { L"{{{BR}}}", L"{BR}", L"\n", L"{{\n}}" },
        { L"%%01", L"%01", L"51", L"%51" },
        { L"%0%01", L"%01", L"51", L"%051" },
        { L"%01%01", L"%01", L"51", L"5151" },
        // Non-overlapping, left to right.
        { L"aaa", L"aa", L"b", L"ba" },
        { L"aaaa", L"aa", L"b", L"bb" },
        { L"abab", L"aba", L"X", L"Xb" },
        // A replacement is never searched again.
        { L"xay", L"a", L"aa", L"xaay" },
        { L"{BR}R}", L"{BR}", L"{B", L"{BR}" },
        { L"remove{BR}me", L"{BR}", L"", L"removeme" },
    };
    for (const ReplaceCase& c : cases)
        EXPECT_EQ(std::wstring(c.Expected), Replaced(c.Text, c.Search, c.Replacement))
            << "text [" << c.Text << "] search [" << c.Search << "]";
}

TEST_F(StringsTest, ReplaceKeepsResultsThatFillTheBufferExactly)
{
    // 8191 characters without an occurrence stay as they are.
    std::wstring longest(8191, L'x');
    EXPECT_EQ(longest, Replaced(longest, L"{BR}", L"\n"));

    // A replacement that grows the text to exactly 8191 characters fits.
    std::wstring grows = L"{BR}" + std::wstring(8187, L'x');
    EXPECT_EQ(L"abcd" + std::wstring(8187, L'x'), Replaced(grows, L"{BR}", L"abcd"));

    // An occurrence at the very end is replaced and the terminator kept.
    std::wstring atEnd = std::wstring(8187, L'x') + L"{BR}";
    EXPECT_EQ(std::wstring(8187, L'x') + L"\n", Replaced(atEnd, L"{BR}", L"\n"));
}

struct ReplaceOverflowCase {
    const char* Name;
    std::wstring Text;
    const wchar_t* Replacement;
    const char* Error;
};

TEST_F(StringsTest, ReplaceOverflowEndsTheProcessWithTheErrorOfTheFailingAppend)
{
    const char* replaceError = "Error copying the replace string into Replace.";
    const char* resultError = "Error copying the result string into Source.";
    const ReplaceOverflowCase cases[] = {
        { "replacement overflows", Repeat(L"{BR}", 2047), L"abcde", replaceError },
        { "plain character overflows", L"{BR}" + std::wstring(8187, L'x'), L"abcdefgh", resultError },
        { "terminator overflows", L"{BR}" + std::wstring(8187, L'x'), L"abcde", resultError },
        { "partial match overflows", L"{BR}" + std::wstring(8183, L'x') + L"{Bz", L"abcdefgh", replaceError },
    };
    for (const ReplaceOverflowCase& c : cases) {
        SCOPED_TRACE(c.Name);
        ASSERT_LE(c.Text.size(), 8191u);
        std::vector<wchar_t> buffer = TextBuffer(c.Text);
        EXPECT_ERROR_EXIT(Replace(buffer.data(), L"{BR}", c.Replacement), c.Error);
    }
}

struct ReplaceWithinLimitCase {
    const char* Name;
    std::wstring Text;
    std::wstring Replacement;
    std::wstring Expected;
    BOOL Cut;
};

// The overflows above, cut instead: the result keeps its first 8191
// characters and never ends in the first half of a surrogate pair.
TEST_F(StringsTest, ReplaceWithinLimitCutsWhatDoesNotFit)
{
    const std::wstring x8187(8187, L'x');
    const ReplaceWithinLimitCase cases[] = {
        { "fits exactly", L"{BR}" + x8187, L"abcd", L"abcd" + x8187, FALSE },
        { "replacement overflows", Repeat(L"{BR}", 2047), L"abcde", Repeat(L"abcde", 2047).substr(0, 8191), TRUE },
        { "terminator overflows", L"{BR}" + x8187, L"abcde", (L"abcde" + x8187).substr(0, 8191), TRUE },
        { "pair across the limit", x8187 + L"{BR}", L"yyy\U0001F600", x8187 + L"yyy", TRUE },
    };
    for (const ReplaceWithinLimitCase& c : cases) {
        SCOPED_TRACE(c.Name);
        ASSERT_LE(c.Text.size(), 8191u);
        std::vector<wchar_t> buffer = TextBuffer(c.Text);
        EXPECT_EQ(c.Cut, ReplaceWithinLimit(buffer.data(), L"{BR}", c.Replacement.c_str()));
        EXPECT_TRUE(c.Expected == std::wstring(buffer.data()));
    }
}

TEST_F(StringsTest, ReplaceRejectsUnmeasurableArguments)
{
    std::vector<wchar_t> text = TextBuffer(L"text");
    std::vector<wchar_t> unterminated(TextLimit, L'u');
    EXPECT_ERROR_EXIT(Replace(unterminated.data(), L"{BR}", L"\n"),
                      "Error determining the length of the input string in Replace.");
    EXPECT_ERROR_EXIT(Replace(NULL, L"{BR}", L"\n"), "Error determining the length of the input string in Replace.");
    EXPECT_ERROR_EXIT(Replace(text.data(), NULL, L"\n"),
                      "Error determining the length of the search string in Replace.");
    EXPECT_ERROR_EXIT(Replace(text.data(), L"{BR}", unterminated.data()),
                      "Error determining the length of the replace string in Replace.");
}

// --- HasPercentSign -------------------------------------------------------

TEST_F(StringsTest, HasPercentSignFindsAPercentSignAnywhere)
{
    const struct {
        const wchar_t* Text;
        BOOL Expected;
    } cases[] = {
        { L"", FALSE }, { L"plain", FALSE }, { L"%", TRUE }, { L"%00 first", TRUE },
        { L"in the % middle", TRUE }, { L"last %", TRUE },
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.Expected, HasPercentSign(c.Text)) << "[" << c.Text << "]";

    std::vector<wchar_t> unterminated(TextLimit, L'u');
    EXPECT_ERROR_EXIT(HasPercentSign(unterminated.data()),
                      "Error determining the length of the input string in Replace.");
}

// --- Abbrev ---------------------------------------------------------------

TEST_F(StringsTest, AbbrevShortensToTheMaximumWithThreeDots)
{
    const struct {
        const wchar_t* Source;
        unsigned int Maximum;
        const wchar_t* Expected;
    } cases[] = {
        { L"abcdefghijk", 5, L"ab..." },   { L"abcdefghijk", 10, L"abcdefg..." },
        { L"abcdefghijk", 11, L"abcdefghijk" }, { L"abcdefghijk", 12, L"abcdefghijk" },
        { L"abcdefghijk", 3, L"..." },     { L"", 0, L"" },
        { L"abc", 3, L"abc" },
    };
    wchar_t destination[TextLimit];
    for (const auto& c : cases) {
        Abbrev(c.Source, c.Maximum, destination);
        EXPECT_EQ(std::wstring(c.Expected), destination) << "[" << c.Source << "] max " << c.Maximum;
    }

    std::wstring hundred(100, L'm');
    Abbrev(hundred.c_str(), 70, destination);
    EXPECT_EQ(std::wstring(67, L'm') + L"...", destination);
}

TEST_F(StringsTest, AbbrevFailsBelowThreeAndOnUnmeasurableSources)
{
    wchar_t destination[TextLimit];
    EXPECT_ERROR_EXIT(Abbrev(L"abcdefghijk", 2, destination), "Error copying a string in Abbrev.");
    EXPECT_ERROR_EXIT(Abbrev(NULL, 5, destination), "Error determining the length of the input string in Abbrev.");
}

// --- CombinePath ----------------------------------------------------------

TEST_F(StringsTest, CombinePathJoinsWithExactlyOneBackslash)
{
    const struct {
        const wchar_t* Directory;
        const wchar_t* FileName;
        const wchar_t* Expected;
    } cases[] = {
        { L"C:\\Logs", L"03152010.Log", L"C:\\Logs\\03152010.Log" },
        { L"C:\\Logs\\", L"03152010.Log", L"C:\\Logs\\03152010.Log" },
        { L"C:\\Program Files\\SEP\\", L"tool.exe 51", L"C:\\Program Files\\SEP\\tool.exe 51" },
        // No directory: the file name alone, not a path from the root.
        { L"", L"tool.exe 51", L"tool.exe 51" },
        { L"C:\\Logs", L"", L"C:\\Logs\\" },
    };
    wchar_t destination[PathLimit];
    for (const auto& c : cases) {
        CombinePath(c.Directory, c.FileName, destination);
        EXPECT_EQ(std::wstring(c.Expected), destination) << "[" << c.Directory << "] + [" << c.FileName << "]";
    }
}

TEST_F(StringsTest, CombinePathKeepsThePathLimit)
{
    wchar_t destination[PathLimit];
    std::wstring directory511(511, L'd');
    CombinePath(directory511.c_str(), L"", destination);
    EXPECT_EQ(directory511 + L"\\", destination);

    std::wstring directory512 = std::wstring(511, L'd') + L"\\";
    CombinePath(directory512.c_str(), L"", destination);
    EXPECT_EQ(directory512, destination);

    EXPECT_ERROR_EXIT(CombinePath(directory511.c_str(), L"f", destination),
                      "Error adding a file name to a directory name.");
    std::wstring noBackslash512(512, L'd');
    EXPECT_ERROR_EXIT(CombinePath(noBackslash512.c_str(), L"", destination),
                      "Error adding a file name to a directory name.");
    std::wstring directory513(513, L'd');
    EXPECT_ERROR_EXIT(CombinePath(directory513.c_str(), L"f", destination), "Error copying a directory name.");
    EXPECT_ERROR_EXIT(CombinePath(NULL, L"f", destination), "Error copying a directory name.");
}

// --- GetDirectory ---------------------------------------------------------

TEST_F(StringsTest, GetDirectoryCopiesTheLogDirectory)
{
    EXPECT_ERROR_EXIT(
        {
            wchar_t destination[PathLimit];
            GetDirectory(destination, PathLimit);
        },
        "Search directory not set in GetDirectory.");

    CopyAllocate(L"C:\\ProgramData\\SEP\\Data\\Logs\\AV\\", &MonitorSettings->SEPLogDir);
    wchar_t destination[PathLimit];
    GetDirectory(destination, PathLimit);
    EXPECT_EQ(std::wstring(L"C:\\ProgramData\\SEP\\Data\\Logs\\AV\\"), destination);

    EXPECT_ERROR_EXIT(
        {
            wchar_t small[10];
            GetDirectory(small, 10);
        },
        "Error copying the directory in GetDirectory.");
}

}  // namespace
