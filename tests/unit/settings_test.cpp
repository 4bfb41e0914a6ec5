// The settings loader against the registry of the test's prefix, the
// time-stamp decoding and the rule summary.
#include "config/scanposition.h"
#include "config/settings.h"
#include "config/strings.h"
#include "config/timestamp.h"
#include "core/console.h"
#include "core/platform.h"
#include "core/runstate.h"
#include "tests/unit/error_exit.h"
#include "tests/unit/test_support.h"
#include <gtest/gtest.h>
#include <string>

namespace {

// One registry value of the configuration.
struct ConfigValue {
    const wchar_t* Key;
    const wchar_t* Name;
    const wchar_t* Text;  // null: a REG_DWORD with Number
    DWORD Number;
};

// Every value, in the order the loader reads them; all are required except
// the syslog options FORMAT and PROTOCOL and the Message action's EVENTID. (The error paths
// of the loader are checked end to end, with the program's own console.)
const ConfigValue CompleteConfiguration[] = {
    { QARLOV_KEY, L"INSTANCE", nullptr, 2 },
    { QARLOV_KEY, L"TIMESTAMP", L"28020F0E0509", 0 },
    { QARLOV_KEY, L"FILENAME", L"03152010.Log", 0 },
    { QARLOV_KEY, L"DEBUGOUTPUT", nullptr, 0 },
    { SEP_APPS_KEY, L"SEPAppDataDir", L"C:\\ProgramData\\Symantec\\SEP\\", 0 },
    { SAV_APPS_KEY, L"SAVCE", L"C:\\Program Files (x86)\\Symantec\\SEP", 0 },
    { QARLOV_RULE_KEY, L"CAT", nullptr, 1 },
    { QARLOV_RULE_KEY, L"EVENT", nullptr, 51 },
    { QARLOV_RULE_KEY, L"LOGGER", nullptr, 2 },
    { QARLOV_RULE_KEY, L"WAITBEFOREACTION", nullptr, 250 },
    { QARLOV_RULE_KEY, L"ACTIONSTRATEGY", nullptr, 1 },
    { QARLOV_RULE_KEY, L"TRIGGERSTRATEGY", nullptr, 0 },
    { QARLOV_DIALOG_KEY, L"MESSAGE", L"Risk %06 found{BR}in %07", 0 },
    { QARLOV_DIALOG_KEY, L"TITLE", L"Alert{BR}Now", 0 },
    { QARLOV_DIALOG_KEY, L"WAITFORDIALOG", nullptr, 1 },
    { QARLOV_DIALOG_KEY, L"WAITINSECS", nullptr, 30 },
    { QARLOV_EXECUTE_KEY, L"COMMANDLINE", L"notify.exe %01{BR}", 0 },
    { QARLOV_EXECUTE_KEY, L"WAITFORPROGRAM", nullptr, 0 },
    { QARLOV_EXECUTE_KEY, L"WAITINSECS", nullptr, 5000 },
    { QARLOV_EXECUTE_KEY, L"USESEPBINPATH", nullptr, 1 },
    { QARLOV_EXECUTE_KEY, L"HIDEWINDOW", nullptr, 0 },
    { QARLOV_SYSLOG_KEY, L"FACILITY", nullptr, 16 },
    { QARLOV_SYSLOG_KEY, L"MESSAGE", L"QARLOV: %06{BR}%07", 0 },
    { QARLOV_SYSLOG_KEY, L"SERVERIP", L"10.0.0.5{BR}", 0 },
    { QARLOV_SYSLOG_KEY, L"SERVERPORT", nullptr, 514 },
    { QARLOV_SYSLOG_KEY, L"SEVERITY", nullptr, 4 },
    { QARLOV_SYSLOG_KEY, L"FORMAT", nullptr, 2 },
    { QARLOV_SYSLOG_KEY, L"PROTOCOL", nullptr, 1 },
    { QARLOV_MESSAGE_KEY, L"MESSAGE", L"Risk %06 on %04", 0 },
    { QARLOV_MESSAGE_KEY, L"EVENTID", nullptr, 100 },
};
const size_t ConfigValueCount = sizeof(CompleteConfiguration) / sizeof(CompleteConfiguration[0]);

bool IsAntivirusKey(const wchar_t* key)
{
    return wcscmp(key, SEP_APPS_KEY) == 0 || wcscmp(key, SAV_APPS_KEY) == 0;
}

// Writes the rows before end. The program reads its own keys in the 64-bit
// view and the antivirus keys in the 32-bit view.
void WriteConfiguration(size_t end = ConfigValueCount)
{
    for (size_t i = 0; i < end; ++i) {
        const ConfigValue& value = CompleteConfiguration[i];
        REGSAM view = IsAntivirusKey(value.Key) ? View32 : View64;
        if (value.Text != nullptr)
            SetTestText(value.Key, value.Name, value.Text, view);
        else
            SetTestNumber(value.Key, value.Name, value.Number, view);
    }
}

void RemoveConfiguration(void)
{
    for (REGSAM view : { View32, View64 }) {
        DeleteTestKey(L"SOFTWARE\\kestu", view);
        DeleteTestKey(L"SOFTWARE\\Symantec", view);
    }
}

std::string ReadError(const std::string& name)
{
    return "Error reading QARLOV registry entry [" + name + "]. Install QARLOV reg file properly.";
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(IsWow64) << "the registry view tests need a 64-bit prefix";
        SetConsoleModeCache(TRUE);
        ResetMonitorSettings();
        RemoveConfiguration();
    }
    void TearDown() override { RemoveConfiguration(); }
};

// --- LoadQARLOVRegistrySettings ------------------------------------------------

TEST_F(SettingsTest, LoadsACompleteConfiguration)
{
    WriteConfiguration();
    EXPECT_EQ("", CaptureConsoleOutput([] { LoadQARLOVRegistrySettings(); }));
    const MonitorSettingsRecord* s = MonitorSettings;

    EXPECT_EQ(2u, s->Instance);
    EXPECT_EQ(std::wstring(L"28020F0E0509"), s->TimeStamp);
    EXPECT_EQ(2010, s->TimeStampTime.wYear);
    EXPECT_EQ(3, s->TimeStampTime.wMonth);
    EXPECT_EQ(15, s->TimeStampTime.wDay);
    EXPECT_EQ(14, s->TimeStampTime.wHour);
    EXPECT_EQ(5, s->TimeStampTime.wMinute);
    EXPECT_EQ(9, s->TimeStampTime.wSecond);
    EXPECT_EQ(std::wstring(L"03152010.Log"), s->FileName);
    EXPECT_EQ(0u, s->DebugOutput);
    EXPECT_EQ(std::wstring(L"C:\\ProgramData\\Symantec\\SEP\\Data\\Logs\\AV\\"), s->SEPLogDir);
    EXPECT_EQ(std::wstring(L"C:\\Program Files (x86)\\Symantec\\SEP"), s->SEPBinPath);
    EXPECT_EQ(1u, s->Cat);
    EXPECT_EQ(51u, s->Event);
    EXPECT_EQ(2u, s->Logger);
    EXPECT_EQ(250u, s->WaitBeforeAction);
    EXPECT_EQ(1u, s->ActionStrategy);
    EXPECT_EQ(0u, s->TriggerStrategy);

    ASSERT_NE(nullptr, s->Dialog);
    EXPECT_EQ(std::wstring(L"Risk %06 found\nin %07"), s->Dialog->Message);
    EXPECT_EQ(std::wstring(L"Alert\nNow"), s->Dialog->Title);
    EXPECT_EQ(1u, s->Dialog->WaitForDialog);
    EXPECT_EQ(30u, s->Dialog->WaitInSecs);

    ASSERT_NE(nullptr, s->Execute);
    EXPECT_EQ(std::wstring(L"notify.exe %01\n"), s->Execute->CommandLine);
    EXPECT_EQ(0u, s->Execute->WaitForProgram);
    EXPECT_EQ(5000u, s->Execute->WaitInSecs);
    EXPECT_EQ(1u, s->Execute->UseSEPBinPath);
    EXPECT_EQ(0u, s->Execute->HideWindow);

    ASSERT_NE(nullptr, s->Syslog);
    EXPECT_EQ(16u, s->Syslog->Facility);
    EXPECT_EQ(std::wstring(L"QARLOV: %06\n%07"), s->Syslog->Message);
    EXPECT_EQ(std::wstring(L"10.0.0.5{BR}"), s->Syslog->ServerIP);  // no line-break replacement
    EXPECT_EQ(514u, s->Syslog->ServerPort);
    EXPECT_EQ(4u, s->Syslog->Severity);
    EXPECT_EQ(2u, s->Syslog->Format);
    EXPECT_EQ(1u, s->Syslog->Protocol);

    ASSERT_NE(nullptr, s->Message);
    EXPECT_EQ(std::wstring(L"Risk %06 on %04"), s->Message->Message);
    EXPECT_EQ(100u, s->Message->EventId);
}

TEST_F(SettingsTest, DisabledActionsNeedNoOtherValues)
{
    WriteConfiguration(12);  // the rule, no action
    SetTestNumber(QARLOV_DIALOG_KEY, L"DISABLED", 1, View64);
    SetTestNumber(QARLOV_EXECUTE_KEY, L"DISABLED", 0xFFFFFFFF, View64);
    SetTestNumber(QARLOV_MESSAGE_KEY, L"DISABLED", 0, View64);
    SetTestText(QARLOV_MESSAGE_KEY, L"MESSAGE", L"only this", View64);
    LoadQARLOVRegistrySettings();
    EXPECT_EQ(nullptr, MonitorSettings->Dialog);
    EXPECT_EQ(nullptr, MonitorSettings->Execute);
    EXPECT_EQ(nullptr, MonitorSettings->Syslog);
    ASSERT_NE(nullptr, MonitorSettings->Message);
    EXPECT_EQ(std::wstring(L"only this"), MonitorSettings->Message->Message);
}

TEST_F(SettingsTest, AnEnabledActionKeyNeedsAllItsValues)
{
    WriteConfiguration(15);  // the Dialog action lacks WAITINSECS
    EXPECT_ERROR_EXIT(LoadQARLOVRegistrySettings(), ReadError("WAITINSECS"));
}

TEST_F(SettingsTest, OptionsOutsideTheirRangeEndTheRun)
{
    WriteConfiguration();
    SetTestNumber(QARLOV_SYSLOG_KEY, L"FORMAT", 3, View64);
    EXPECT_ERROR_EXIT(LoadQARLOVRegistrySettings(), "QARLOV registry entry for Syslog Format must be 0 (message "
                                                    "only), 1 (RFC 3164) or 2 (RFC 5424).");
    SetTestNumber(QARLOV_SYSLOG_KEY, L"FORMAT", 0, View64);
    SetTestNumber(QARLOV_SYSLOG_KEY, L"PROTOCOL", 2, View64);
    EXPECT_ERROR_EXIT(LoadQARLOVRegistrySettings(), "QARLOV registry entry for Syslog Protocol must be 0 (UDP) or 1 "
                                                    "(TCP).");
    SetTestNumber(QARLOV_SYSLOG_KEY, L"PROTOCOL", 0, View64);
    SetTestNumber(QARLOV_MESSAGE_KEY, L"EVENTID", 3, View64);
    EXPECT_ERROR_EXIT(LoadQARLOVRegistrySettings(), "QARLOV registry entry for Message EventId must be 2 (a warning "
                                                    "like the others) or 100 (a detection).");
}

TEST_F(SettingsTest, TextValuesHoldAtMost4095Characters)
{
    WriteConfiguration();
    std::wstring longest(4095, L't');
    SetTestText(QARLOV_DIALOG_KEY, L"TITLE", longest, View64);
    SetTestText(SEP_APPS_KEY, L"SEPAppDataDir", longest, View32);
    LoadQARLOVRegistrySettings();
    EXPECT_EQ(longest, MonitorSettings->Dialog->Title);
    // No separator between the stored directory and the log folder.
    EXPECT_EQ(longest + L"Data\\Logs\\AV\\", MonitorSettings->SEPLogDir);

    SetTestText(QARLOV_DIALOG_KEY, L"TITLE", std::wstring(4096, L't'), View64);
    EXPECT_ERROR_EXIT(LoadQARLOVRegistrySettings(), ReadError("TITLE"));
}

TEST_F(SettingsTest, ATextStoredWithoutTerminatorIsReadExactly)
{
    WriteConfiguration();
    // FILENAME is read into the buffer that still holds the longer
    // TIMESTAMP text; stored without its terminator, it gets none from the
    // read.
    SetTestText(QARLOV_KEY, L"FILENAME", L"AB", View64, 2 * sizeof(wchar_t));
    // SAVCE (unterminated too) is as long as a text may be, and the buffer
    // behind it still holds the end of the log directory built before it.
    SetTestText(SEP_APPS_KEY, L"SEPAppDataDir", std::wstring(4095, L'd'), View32);
    std::wstring longest(4095, L'b');
    SetTestText(SAV_APPS_KEY, L"SAVCE", longest, View32, 4095 * sizeof(wchar_t));
    LoadQARLOVRegistrySettings();
    EXPECT_EQ(std::wstring(L"AB"), MonitorSettings->FileName);
    EXPECT_EQ(longest, MonitorSettings->SEPBinPath);
}

TEST_F(SettingsTest, SavedScanPositionIsReadBackByTheNextLoad)
{
    WriteConfiguration();
    LoadQARLOVRegistrySettings();
    FreeText(&MonitorSettings->FileName);
    CopyAllocate(L"10262024.Log", &MonitorSettings->FileName);
    SYSTEMTIME time = {};
    time.wYear = 2024;
    time.wMonth = 10;
    time.wDay = 26;
    time.wHour = 10;
    time.wMinute = 42;
    time.wSecond = 59;
    DecodedEnd end = { 5000000000ull, "line\n", 5 };
    SaveScanPosition(7, &time, &end);
    DWORD check = MonitorSettings->OffsetCheck;

    ResetMonitorSettings();
    LoadQARLOVRegistrySettings();
    EXPECT_EQ(7u, MonitorSettings->Instance);
    EXPECT_EQ(5000000000ull, MonitorSettings->Offset);
    EXPECT_EQ(check, MonitorSettings->OffsetCheck);
    EXPECT_EQ(std::wstring(L"36091A0A2A3B"), MonitorSettings->TimeStamp);
    EXPECT_EQ(std::wstring(L"10262024.Log"), MonitorSettings->FileName);
    EXPECT_EQ(0, memcmp(&time, &MonitorSettings->TimeStampTime, sizeof(time)));
}

// --- ParseTimeStamp ------------------------------------------------------------

TEST(ParseTimeStampTest, DecodesSixHexPairsWithoutRangeChecks)
{
    const struct {
        const wchar_t* Text;
        WORD Year, Month, Day, Hour, Minute, Second;
    } cases[] = {
        { L"28020F0E0509", 2010, 3, 15, 14, 5, 9 },
        { L"28020f0e0509", 2010, 3, 15, 14, 5, 9 },
        { L"000001000000", 1970, 1, 1, 0, 0, 0 },
        { L"FF0B1F173B3B", 2225, 12, 31, 23, 59, 59 },
        { L"zz0001000000", 1970, 1, 1, 0, 0, 0 },      // no digit counts as 0
        { L"28G20F0E0509", 2010, 3, 15, 14, 5, 9 },    // G counts as 0
        { L"2820FFFFFFFF", 2010, 33, 255, 255, 255, 255 },
        { L"28020F0E0509FFFF", 2010, 3, 15, 14, 5, 9 },  // the rest is ignored
        // Short texts: missing digits count as 0.
        { L"28020F", 2010, 3, 15, 0, 0, 0 },
        { L"2802F", 2010, 3, 240, 0, 0, 0 },
        { L"", 1970, 1, 0, 0, 0, 0 },
    };
    for (const auto& c : cases) {
        SYSTEMTIME time;
        memset(&time, 0x77, sizeof(time));
        ParseTimeStamp(c.Text, &time);
        EXPECT_EQ(c.Year, time.wYear) << c.Text;
        EXPECT_EQ(c.Month, time.wMonth) << c.Text;
        EXPECT_EQ(c.Day, time.wDay) << c.Text;
        EXPECT_EQ(c.Hour, time.wHour) << c.Text;
        EXPECT_EQ(c.Minute, time.wMinute) << c.Text;
        EXPECT_EQ(c.Second, time.wSecond) << c.Text;
        EXPECT_EQ(0x7777, time.wDayOfWeek) << c.Text;
        EXPECT_EQ(0x7777, time.wMilliseconds) << c.Text;
    }
}

TEST(ParseTimeStampTest, NeverReadsPastTheTerminator)
{
    // The digits after the terminator must not be taken.
    const wchar_t text[] = L"2802\0" L"0F0E0509";
    SYSTEMTIME time = {};
    ParseTimeStamp(text, &time);
    EXPECT_EQ(2010, time.wYear);
    EXPECT_EQ(3, time.wMonth);
    EXPECT_EQ(0, time.wDay);
    EXPECT_EQ(0, time.wSecond);
}

// --- PrintRuleSummary ---------------------------------------------------------

class RuleSummaryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetConsoleModeCache(TRUE);
        ResetMonitorSettings();
        MonitorSettingsRecord* s = MonitorSettings;
        s->Cat = 1;
        s->Event = 51;
        s->Logger = 2;
        s->WaitBeforeAction = 250;
        s->ActionStrategy = 1;
        s->TriggerStrategy = 0;
        s->DebugOutput = 1;
    }
    void TearDown() override { SetConsoleModeCache(TRUE); }

    // A Syslog action to port 514 with facility 16 and severity 4.
    static SyslogAction* ConfigureSyslogAction(const std::wstring& message, const wchar_t* serverIP)
    {
        SyslogAction* syslog = (SyslogAction*)calloc(1, sizeof(SyslogAction));
        CopyAllocate(message.c_str(), &syslog->Message);
        CopyAllocate(serverIP, &syslog->ServerIP);
        syslog->ServerPort = 514;
        syslog->Facility = 16;
        syslog->Severity = 4;
        MonitorSettings->Syslog = syslog;
        return syslog;
    }
};

const char RuleLines[] = "Action rule: Cat=1, Event=51, Logger=2\r\n"
                         "Parameters:  WaitBeforeAction=250, ActionStrategy=1, TriggerStrategy=0, DebugOutput=1\r\n"
                         "\r\n";

TEST_F(RuleSummaryTest, OnlyTheMessageActionShowsTheRuleAndOneLine)
{
    ConfigureMessageAction(std::wstring(100, L'm'));
    std::string output = CaptureConsoleOutput([] { PrintRuleSummary(); });
    EXPECT_EQ(std::string(RuleLines) + "Message  [ " + std::string(67, 'm') + "... ]\r\n\r\n", output);
    // Like the syslog options, an event id other than the default ends the line.
    MonitorSettings->Message->EventId = 100;
    EXPECT_EQ(std::string(RuleLines) + "Message  [ " + std::string(67, 'm') + "..., EventId: 100 ]\r\n\r\n",
              CaptureConsoleOutput([] { PrintRuleSummary(); }));
}

TEST_F(RuleSummaryTest, EveryActionIsShownWithItsTextsShortened)
{
    MonitorSettingsRecord* s = MonitorSettings;
    s->Dialog = (DialogAction*)calloc(1, sizeof(DialogAction));
    CopyAllocate(L"Alert\nNow", &s->Dialog->Title);
    CopyAllocate(L"A message that is longer than twenty-five", &s->Dialog->Message);
    s->Dialog->WaitForDialog = 1;
    s->Dialog->WaitInSecs = 30;
    s->Execute = (ExecuteAction*)calloc(1, sizeof(ExecuteAction));
    CopyAllocate(L"notify.exe %01", &s->Execute->CommandLine);
    s->Execute->WaitInSecs = 5000;
    s->Execute->UseSEPBinPath = 7;
    ConfigureSyslogAction(std::wstring(60, L'y'), L"2001:0db8:85a3:0000:0000");
    ConfigureMessageAction(L"Risk %06 on %04");

    std::string expected = std::string(RuleLines) +
                           "Dialog   [ Title: Alert\r\nNow, Message: A message that is long..., Wait: TRUE, "
                           "Time: 30 ]\r\n"
                           "Execute  [ notify.exe %01, Wait: FALSE, Time:5000, UseSEPBinPath:TRUE "
                           "HideWindow:FALSE ]\r\n"
                           "Syslog   [ " + std::string(47, 'y') + "..., 2001:0db8:85a...:514, Facility: 16, "
                           "Severity: 4 ]\r\n\r\n"
                           "Message  [ Risk %06 on %04 ]\r\n\r\n";
    EXPECT_EQ(expected, CaptureConsoleOutput([] { PrintRuleSummary(); }));
}

TEST_F(RuleSummaryTest, SyslogOptionsOtherThanTheDefaultsEndTheSyslogLine)
{
    SyslogAction* syslog = ConfigureSyslogAction(L"%06", L"syslog.example");
    const struct {
        DWORD Format, Protocol;
        std::string Options;
    } cases[] = { { 1, 0, ", Format: 1, Protocol: 0" }, { 0, 1, ", Format: 0, Protocol: 1" } };
    for (const auto& c : cases) {
        syslog->Format = c.Format;
        syslog->Protocol = c.Protocol;
        EXPECT_EQ(std::string(RuleLines) + "Syslog   [ %06, syslog.example:514, Facility: 16, Severity: 4" +
                      c.Options + " ]\r\n\r\n",
                  CaptureConsoleOutput([] { PrintRuleSummary(); }));
    }
}

TEST_F(RuleSummaryTest, NumbersArePrintedAsSignedDecimals)
{
    MonitorSettings->Cat = 0xFFFFFFFF;
    MonitorSettings->Logger = 131173;
    MonitorSettings->DebugOutput = 0;
    ConfigureMessageAction(L"m");
    EXPECT_EQ("Action rule: Cat=-1, Event=51, Logger=131173\r\n"
              "Parameters:  WaitBeforeAction=250, ActionStrategy=1, TriggerStrategy=0, DebugOutput=0\r\n"
              "\r\n"
              "Message  [ m ]\r\n\r\n",
              CaptureConsoleOutput([] { PrintRuleSummary(); }));
}

TEST_F(RuleSummaryTest, PrintsNothingWithoutAConsole)
{
    ConfigureMessageAction(L"m");
    SetConsoleModeCache(FALSE);
    EXPECT_EQ("", CaptureConsoleOutput([] { PrintRuleSummary(); }));
}

}  // namespace
