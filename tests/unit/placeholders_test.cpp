#include "actions/placeholders.h"
#include "core/limits.h"
#include "tests/unit/sample_record.h"
#include "tests/unit/test_support.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

// Expands text in a TextLimit buffer, as the actions do; cut tells whether
// the result was cut.
static std::wstring Expand(const std::wstring& text, BOOL* cut = NULL)
{
    std::vector<wchar_t> buffer(TextLimit, L'\0');
    text.copy(buffer.data(), text.size());
    BOOL wasCut = ExpandPlaceholders(buffer.data());
    if (cut != NULL)
        *cut = wasCut;
    return buffer.data();
}

struct ExpansionCase {
    const wchar_t* Text;
    const wchar_t* Expected;
};

TEST(ExpandPlaceholders, FillsEachPlaceholderWithItsField)
{
    SampleRecord sample;
    const ExpansionCase cases[] = {
        { L"%00|%01|%02|%03|%04|%05|%06|%07|%08",
          L"17.05.2023 14:30:05|51|1|2|HOST01|alice|EICAR Test String|C:\\Users\\alice\\eicar.com|4" },
        { L"no placeholder at all", L"no placeholder at all" },
        { L"100% %d %s %", L"100% %d %s %" },
        { L"%00 and %00", L"17.05.2023 14:30:05 and 17.05.2023 14:30:05" },
        { L"%01%02%03%08", L"51124" },
        { L"%09 %1 %0", L"%09 %1 %0" },
        { L"%010", L"510" },
        { L"%%01", L"%51" },
        // "%0" + "51" forms "%05", which the later step fills
        { L"%0%01", L"alice1" },
        { L"%%%04%", L"%%HOST01%" },
        { L"", L"" },
    };
    for (const ExpansionCase& c : cases)
        EXPECT_EQ(c.Expected, Expand(c.Text)) << "text: " << testing::PrintToString(std::wstring(c.Text));
}

TEST(ExpandPlaceholders, WritesNumbersAsSignedDecimals)
{
    SampleRecord sample;
    sample.Record.Event = -5;
    sample.Record.Category = 0;
    sample.Record.Logger = 131173;
    sample.Record.Number11 = (LONG)0x80000000;
    EXPECT_EQ(L"-5 0 131173 -2147483648", Expand(L"%01 %02 %03 %08"));
}

TEST(ExpandPlaceholders, RemovesPlaceholderOfEmptyField)
{
    SampleRecord sample;
    sample.Text6 = L"";
    sample.Publish();
    EXPECT_EQ(L"[]", Expand(L"[%05]"));
}

// Fields that hold placeholders themselves show the order of the nine
// steps: text inserted by a step is searched by the later steps only.
struct FieldContentCase {
    const wchar_t* TimeText;
    const wchar_t* Text5;
    const wchar_t* Text8;
    const wchar_t* Text;
    const wchar_t* Expected;
};

TEST(ExpandPlaceholders, SearchesInsertedTextInLaterStepsOnly)
{
    const FieldContentCase cases[] = {
        // later placeholders in an early field are filled in
        { L"at %01", L"x", L"y", L"%00", L"at 51" },
        { L"t", L"%05/%06/%07/%08", L"y", L"%04", L"alice/EICAR Test String/y/4" },
        // earlier placeholders in a late field stay
        { L"t", L"x", L"%00%01%02%03%04%05%06", L"%07", L"%00%01%02%03%04%05%06" },
        // the text inserted for a placeholder is not searched for it again
        { L"t", L"%04%04", L"y", L"%04", L"%04%04" },
        { L"%00", L"x", L"y", L"%00", L"%00" },
        // a placeholder formed by inserted text is filled by a later step
        // only: "%06" is, "%01" (an earlier step) is not
        { L"t", L"%0", L"y", L"%046", L"EICAR Test String" },
        { L"t", L"%0", L"y", L"%041", L"%01" },
    };
    for (const FieldContentCase& c : cases) {
        SampleRecord sample;
        sample.TimeText = c.TimeText;
        sample.Text5 = c.Text5;
        sample.Text8 = c.Text8;
        sample.Publish();
        EXPECT_EQ(c.Expected, Expand(c.Text)) << "text: " << testing::PrintToString(std::wstring(c.Text));
    }
}

TEST(ExpandPlaceholders, TextWithoutPercentSignNeedsNoRecord)
{
    CurrentRecord = NULL;
    EXPECT_EQ(L"plain text", Expand(L"plain text"));
}

// Log fields hold up to 8191 characters: what doesn't fit is cut at 8191
// characters, and the expansion says so.
struct LongFieldCase {
    std::wstring Text5;
    const wchar_t* Text;
    std::wstring Expected;
    BOOL Cut;
};

TEST(ExpandPlaceholders, CutsWhatTheFieldsMakeTooLong)
{
    const std::wstring a4000(4000, L'a'), b8150(8150, L'b'), c8191(8191, L'c');
    const LongFieldCase cases[] = {
        { a4000, L"%04|%04", a4000 + L"|" + a4000, FALSE },
        { a4000, L"%04|%04|%04", (a4000 + L"|" + a4000 + L"|" + a4000).substr(0, 8191), TRUE },
        { b8150, L"%04 %04 %01", (b8150 + L" " + b8150).substr(0, 8191), TRUE },
        { c8191, L"%04", c8191, FALSE },
        { c8191, L"<%04>", L"<" + c8191.substr(0, 8190), TRUE },
    };
    for (const LongFieldCase& c : cases) {
        SampleRecord sample;
        sample.Text5 = c.Text5;
        sample.Publish();
        BOOL cut = FALSE;
        std::wstring expanded = Expand(c.Text, &cut);
        EXPECT_EQ(c.Expected.size(), expanded.size()) << "text: " << testing::PrintToString(std::wstring(c.Text));
        EXPECT_TRUE(c.Expected == expanded) << "text: " << testing::PrintToString(std::wstring(c.Text));
        EXPECT_EQ(c.Cut, cut) << "text: " << testing::PrintToString(std::wstring(c.Text));
    }
}
