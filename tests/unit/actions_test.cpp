// inet_addr gives the receiver its loopback address.
#define _WINSOCK_DEPRECATED_NO_WARNINGS
#include <winsock2.h>
#include "actions/actions.h"
#include "actions/actionsupport.h"
#include "config/strings.h"
#include "core/console.h"
#include "core/limits.h"
#include "core/runstate.h"
#include "core/seams.h"
#include "tests/unit/error_exit.h"
#include "tests/unit/sample_record.h"
#include "tests/unit/test_support.h"
#include <shellapi.h>
#include <wtsapi32.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <functional>
#include <string>
#include <vector>

// Runs action while a stop is requested 300 ms after it began; returns how
// long the action took.
static DWORD RunUntilStopped(void (*action)(void))
{
    DWORD start = GetTickCount();
    RunWithStopAfter(300, [action] { CaptureConsoleOutput(action); });
    return GetTickCount() - start;
}

// Fresh settings and the real platform calls for every test.
class ActionTest : public ::testing::Test {
protected:
    SampleRecord Sample;
    PlatformCalls SavedPlatform = Platform;

    void SetUp() override
    {
        ResetMonitorSettings();
        SetLastError(0);
    }
    void TearDown() override
    {
        Platform = SavedPlatform;
        ResetMonitorSettings();
    }
};

// ---- Dialog -------------------------------------------------------------

struct DialogCall {
    HANDLE Server;
    DWORD Session;
    std::wstring Title;
    DWORD TitleLength;
    std::wstring Message;
    DWORD MessageLength;
    DWORD Style;
    DWORD Timeout;
    DWORD* Response;
    BOOL Wait;
};

static std::vector<DialogCall> DialogCalls;
static BOOL DialogAnswer;
static DWORD SessionAnswer;
static int SessionQueries;

static BOOL WINAPI RecordDialog(HANDLE server, DWORD session, LPWSTR title, DWORD titleLength, LPWSTR message,
                                DWORD messageLength, DWORD style, DWORD timeout, DWORD* response, BOOL wait)
{
    DialogCalls.push_back({ server, session, title, titleLength, message, messageLength, style, timeout, response,
                            wait });
    return DialogAnswer;
}

static DWORD WINAPI AnswerSession(void)
{
    ++SessionQueries;
    return SessionAnswer;
}

class DialogActionTest : public ActionTest {
protected:
    void SetUp() override
    {
        ActionTest::SetUp();
        DialogCalls.clear();
        DialogAnswer = TRUE;
        SessionAnswer = 7;
        SessionQueries = 0;
        Platform.SendMessageToSession = RecordDialog;
        Platform.GetActiveConsoleSessionId = AnswerSession;
        MonitorSettings->Dialog = NewAction<DialogAction>();
    }
    void Configure(const std::wstring& title, const std::wstring& message, DWORD wait, DWORD seconds)
    {
        DialogAction* dialog = MonitorSettings->Dialog;
        FreeText(&dialog->Title);
        FreeText(&dialog->Message);
        dialog->Title = Owned(title);
        dialog->Message = Owned(message);
        dialog->WaitForDialog = wait;
        dialog->WaitInSecs = seconds;
    }
};

TEST_F(DialogActionTest, PassesExpandedTextsAndSettingsToTheMessageBox)
{
    struct Case {
        const wchar_t* Title;
        const wchar_t* Message;
        DWORD Wait, Seconds;
        const wchar_t* ShownTitle;
        const wchar_t* ShownMessage;
    } cases[] = {
        { L"Alert %01", L"%04\nfound %06", 1, 30, L"Alert 51", L"HOST01\nfound EICAR Test String" },
        { L"", L"plain 100%", 0, 0, L"", L"plain 100%" },
    };
    for (const Case& c : cases) {
        DialogCalls.clear();
        Configure(c.Title, c.Message, c.Wait, c.Seconds);
        std::string output = CaptureConsoleOutput(ExecuteDialogAction);

        EXPECT_EQ("", output);
        ASSERT_EQ(1u, DialogCalls.size());
        const DialogCall& call = DialogCalls[0];
        EXPECT_EQ(nullptr, call.Server);  // the local server
        EXPECT_EQ(7u, call.Session);
        EXPECT_EQ(c.ShownTitle, call.Title);
        EXPECT_EQ((wcslen(c.ShownTitle) + 1) * 2, call.TitleLength);
        EXPECT_EQ(c.ShownMessage, call.Message);
        EXPECT_EQ((wcslen(c.ShownMessage) + 1) * 2, call.MessageLength);
        EXPECT_EQ(0x1040u, call.Style);
        EXPECT_EQ(c.Seconds, call.Timeout);
        EXPECT_NE(nullptr, call.Response);
        EXPECT_EQ((BOOL)c.Wait, call.Wait);
    }
}

TEST_F(DialogActionTest, RefusedMessageBoxIsAWarning)
{
    DialogAnswer = FALSE;
    Configure(L"t", L"m", 0, 0);
    std::string output = CaptureConsoleOutput(ExecuteDialogAction);
    EXPECT_NE(std::string::npos,
              output.find("WARNING  Error displaying a message box. Message might not have been seen by user."))
        << output;
    EXPECT_EQ(1u, DialogCalls.size());
}

TEST_F(DialogActionTest, NoConsoleSessionSkipsOnlyThisLinesBox)
{
    SessionAnswer = 0xFFFFFFFF;
    Configure(L"t", L"m", 0, 0);
    std::string output = CaptureConsoleOutput([] {
        ExecuteDialogAction();
        SessionAnswer = 1;  // the session is attached again: the next line's box shows
        ExecuteDialogAction();
    });
    EXPECT_EQ(1u, CountOf(output, "WARNING  Unable to get a WTS session id. Dialog boxes can not be displayed. "
                                  "Switching to automatic mode."))
        << output;
    EXPECT_EQ(1u, CountOf(output, "\n"));
    EXPECT_EQ(2, SessionQueries);
    ASSERT_EQ(1u, DialogCalls.size());
    EXPECT_EQ(1u, DialogCalls[0].Session);
}

static HANDLE DialogAnswered;  // set by the test: the user "presses OK"
static HANDLE DialogClosed;    // set by the box when its call returns

static BOOL WINAPI BlockUntilAnswered(HANDLE, DWORD, LPWSTR, DWORD, LPWSTR, DWORD, DWORD, DWORD, DWORD*, BOOL)
{
    WaitForSingleObject(DialogAnswered, 30000);
    SetEvent(DialogClosed);
    return TRUE;
}

TEST_F(DialogActionTest, StopRequestEndsTheWaitForTheUsersAnswer)
{
    DialogAnswered = CreateEventW(NULL, TRUE, FALSE, NULL);
    DialogClosed = CreateEventW(NULL, TRUE, FALSE, NULL);
    Platform.SendMessageToSession = BlockUntilAnswered;
    Configure(L"t", L"m", 1, 0);

    DWORD elapsed = RunUntilStopped(ExecuteDialogAction);
    EXPECT_LT(elapsed, 10000u) << "the action waited for the answer in spite of the stop";
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(DialogClosed, 0)) << "the box stays";

    SetEvent(DialogAnswered);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(DialogClosed, 30000));
    CloseHandle(DialogAnswered);
    CloseHandle(DialogClosed);
}

// ---- Execute ------------------------------------------------------------

static std::wstring CommandLineFor(const wchar_t* configured, BOOL useSEPBinPath, const wchar_t* sepBinPath)
{
    ExecuteAction action = {};
    action.CommandLine = (wchar_t*)configured;
    action.UseSEPBinPath = useSEPBinPath;
    std::vector<wchar_t> commandLine(TextLimit, L'\0');
    BuildProgramCommandLine(&action, sepBinPath, commandLine.data());
    return commandLine.data();
}

TEST_F(ActionTest, CommandLineQuotesTheJoinedProgramPathOnly)
{
    const wchar_t* sep = L"C:\\Program Files (x86)\\Symantec\\SEP";
    struct Case {
        const wchar_t* Configured;
        BOOL UseSEPBinPath;
        const wchar_t* SEPBinPath;
        const wchar_t* Expected;
    } cases[] = {
        { L"notify.exe %01 \"%04\"", TRUE, sep,
          L"\"C:\\Program Files (x86)\\Symantec\\SEP\\notify.exe\" 51 \"HOST01\"" },
        { L"notify.exe", TRUE, L"C:\\SEP bin\\", L"\"C:\\SEP bin\\notify.exe\"" },
        { L"\"my tool.exe\" -a %08", TRUE, L"C:\\SEP", L"\"C:\\SEP\\my tool.exe\" -a 4" },
        { L"\"tool\".exe x", TRUE, L"C:\\SEP", L"\"C:\\SEP\\tool\".exe x" },
        { L"  lead.exe\targ", TRUE, L"C:\\SEP", L"\"C:\\SEP\\lead.exe\"\targ" },
        { L"\"open ended.exe arg", TRUE, L"C:\\SEP", L"\"C:\\SEP\\open ended.exe arg\"" },
        { L"tool%01.exe", TRUE, L"C:\\SEP %02", L"\"C:\\SEP 1\\tool51.exe\"" },
        { L"tool.exe a", TRUE, L"", L"\"tool.exe\" a" },
        { L"C:\\Program Files\\tool.exe %01", FALSE, sep, L"C:\\Program Files\\tool.exe 51" },
        { L"\"C:\\a b\\t.exe\"", FALSE, sep, L"\"C:\\a b\\t.exe\"" },
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.Expected, CommandLineFor(c.Configured, c.UseSEPBinPath, c.SEPBinPath))
            << testing::PrintToString(std::wstring(c.Configured));
}

// The arguments as the started program sees them.
static std::vector<std::wstring> ArgumentsOf(const std::wstring& commandLine)
{
    std::vector<std::wstring> arguments;
    int count = 0;
    LPWSTR* split = CommandLineToArgvW(commandLine.c_str(), &count);
    for (int i = 0; split != NULL && i < count; ++i)
        arguments.push_back(split[i]);
    LocalFree(split);
    return arguments;
}

struct ArgumentCase {
    const wchar_t* Template;
    std::function<std::vector<std::wstring>(const std::wstring&)> Arguments;  // for value v in %04 and %07
};

TEST_F(ActionTest, EveryValueReachesTheProgramAsOneArgument)
{
    const wchar_t* values[] = { L"two words", L"say \"hi\"", L"C:\\dir\\", L"a\\\\\"b", L"x & y", L"%PATH%",
                                L"\u00dcn\u00efc\u00f6d\u00e9", L"", L"\\", L"\"", L"%06", L"tab\there" };
    const ArgumentCase cases[] = {
        { L"prog.exe \"%07\"", [](const std::wstring& v) { return std::vector<std::wstring>{ L"prog.exe", v }; } },
        { L"prog.exe %07", [](const std::wstring& v) { return std::vector<std::wstring>{ L"prog.exe", v }; } },
        { L"prog.exe \"/file=%07\" %04",
          [](const std::wstring& v) { return std::vector<std::wstring>{ L"prog.exe", L"/file=" + v, v }; } },
        // backslashes of the template run into the value's quotes
        { L"prog.exe C:\\in\\%07 \"C:\\out\\%07\"",
          [](const std::wstring& v) { return std::vector<std::wstring>{ L"prog.exe", L"C:\\in\\" + v, L"C:\\out\\" + v }; } },
        // a quote the administrator escaped stays a character; numbers as they are
        { L"prog.exe %07\\\" -n %01",
          [](const std::wstring& v) { return std::vector<std::wstring>{ L"prog.exe", v + L"\"", L"-n", L"51" }; } },
    };
    for (const ArgumentCase& c : cases) {
        for (const wchar_t* value : values) {
            Sample.Text5 = value;
            Sample.Text8 = value;
            Sample.Publish();
            std::wstring commandLine = CommandLineFor(c.Template, FALSE, L"");
            EXPECT_EQ(c.Arguments(value), ArgumentsOf(commandLine))
                << testing::PrintToString(std::wstring(c.Template)) << " with " << testing::PrintToString(std::wstring(value))
                << " gave " << testing::PrintToString(commandLine);
        }
    }
}

struct BatchCase {
    const wchar_t* Template;
    const wchar_t* Value;
    CommandLineStatus Status;
};

TEST_F(ActionTest, BatchFileGetsNoValueItsInterpreterActsOn)
{
    const BatchCase cases[] = {
        { L"notify.bat \"%07\"", L"x & y", CommandLineUnsafeForBatch },
        { L"\"C:\\my tools\\Notify.CMD\" %07", L"%PATH%", CommandLineUnsafeForBatch },
        { L"notify.bat %07", L"a^b|c<d>e", CommandLineUnsafeForBatch },
        { L"notify.bat %07", L"say \"hi\"", CommandLineUnsafeForBatch },
        { L"notify.bat %07", L"line\r\nbreak", CommandLineUnsafeForBatch },
        { L"notify.bat \"%07\" %01", L"C:\\plain path\\", CommandLineReady },
        { L"notify.exe \"%07\"", L"x & y", CommandLineReady },
        { L"notify.bat.exe %07", L"x & y", CommandLineReady },
    };
    for (const BatchCase& c : cases) {
        Sample.Text8 = c.Value;
        Sample.Publish();
        ExecuteAction action = {};
        action.CommandLine = (wchar_t*)c.Template;
        std::vector<wchar_t> commandLine(TextLimit, L'\0');
        EXPECT_EQ(c.Status, BuildProgramCommandLine(&action, L"", commandLine.data()))
            << testing::PrintToString(std::wstring(c.Template)) << " with " << testing::PrintToString(std::wstring(c.Value));
    }
}

TEST(StartupInfo, HidesTheWindowOnlyWhenAsked)
{
    for (BOOL hide : { FALSE, TRUE }) {
        STARTUPINFOW startup;
        memset(&startup, 0xCC, sizeof(startup));
        PrepareStartupInfo(hide, &startup);

        EXPECT_EQ(68u, startup.cb);
        ASSERT_NE(nullptr, startup.lpDesktop);
        EXPECT_STREQ(L"winsta0\\default", startup.lpDesktop);
        STARTUPINFOW expected = {};
        expected.cb = 68;
        expected.lpDesktop = startup.lpDesktop;
        expected.dwFlags = hide ? STARTF_USESHOWWINDOW : 0;
        expected.wShowWindow = SW_HIDE;  // 0 either way
        EXPECT_EQ(0, memcmp(&expected, &startup, sizeof(startup))) << "hide " << hide;
    }
}

class ExecuteActionTest : public ActionTest {
protected:
    void SetUp() override
    {
        ActionTest::SetUp();
        MonitorSettings->Execute = NewAction<ExecuteAction>();
    }
    void Configure(const std::wstring& commandLine, DWORD waitForProgram, DWORD waitLimit)
    {
        ExecuteAction* action = MonitorSettings->Execute;
        FreeText(&action->CommandLine);
        action->CommandLine = Owned(commandLine);
        action->WaitForProgram = waitForProgram;
        action->WaitInSecs = waitLimit;
        action->HideWindow = 1;
    }
};

static std::wstring TempFilePath(const wchar_t* name)
{
    wchar_t directory[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    return std::wstring(directory) + name;
}

static std::string ReadWholeFile(const std::wstring& path)
{
    std::string bytes;
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == NULL)
        return bytes;
    char chunk[256];
    for (size_t n; (n = fread(chunk, 1, sizeof(chunk), file)) > 0;)
        bytes.append(chunk, n);
    fclose(file);
    return bytes;
}

TEST_F(ExecuteActionTest, StartsTheProgramWaitsForItAndClearsTheErrorCode)
{
    std::wstring marker = TempFilePath(L"qarlov-execute-marker.txt");
    DeleteFileW(marker.c_str());
    Configure(L"cmd.exe /c echo %01>\"" + marker + L"\"", 1, INFINITE);
    SetLastError(ERROR_ACCESS_DENIED);

    std::string output = CaptureConsoleOutput(ExecuteProgramAction);
    DWORD errorAfter = GetLastError();

    EXPECT_EQ(0u, errorAfter);
    EXPECT_NE(std::string::npos, output.find("Executing external program [cmd.exe /c echo 51>\"")) << output;
    EXPECT_EQ(std::string::npos, output.find("WARNING")) << output;
    // Waited for: the program's output is there at once.
    EXPECT_EQ(0u, ReadWholeFile(marker).find("51")) << ReadWholeFile(marker);
    DeleteFileW(marker.c_str());
}

// Started by the tests below as a program that takes a while; it leaves a
// mark when it has ended.
TEST(ExecuteHelper, DISABLED_SleepThreeSeconds)
{
    Sleep(3000);
    FILE* mark = _wfopen(TempFilePath(L"qarlov-sleeper-ended.txt").c_str(), L"wb");
    if (mark != NULL)
        fclose(mark);
}

static std::wstring SleeperCommandLine(void)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    return std::wstring(L"\"") + self +
           L"\" --gtest_filter=ExecuteHelper.DISABLED_SleepThreeSeconds --gtest_also_run_disabled_tests";
}

TEST_F(ExecuteActionTest, WaitLimitIsTakenAsMilliseconds)
{
    Configure(SleeperCommandLine(), 1, 5);
    DWORD start = GetTickCount();
    std::string output = CaptureConsoleOutput(ExecuteProgramAction);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(std::string::npos, output.find("WARNING")) << output;
    EXPECT_LT(elapsed, 1500u) << "a limit of 5 waited like 5 seconds";
}

TEST_F(ExecuteActionTest, ProgramThatCannotStartIsAWarningWithTheSystemReason)
{
    Configure(L"C:\\no\\such\\program.exe %01", 0, 0);
    std::string output = CaptureConsoleOutput(ExecuteProgramAction);
    EXPECT_NE(std::string::npos, output.find("Executing external program [C:\\no\\such\\program.exe 51].")) << output;
    EXPECT_NE(std::string::npos, output.find("WARNING  Could not execute external program. -> ")) << output;
}

TEST_F(ExecuteActionTest, StopRequestEndsTheWaitForTheProgram)
{
    std::wstring ended = TempFilePath(L"qarlov-sleeper-ended.txt");
    DeleteFileW(ended.c_str());
    Configure(SleeperCommandLine(), 1, INFINITE);
    RunUntilStopped(ExecuteProgramAction);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(ended.c_str())) << "waited until the program ended";
}

static BOOL WINAPI NoUserAtTheConsole(ULONG, PHANDLE token)
{
    *token = NULL;
    SetLastError(ERROR_NO_TOKEN);
    return FALSE;
}

struct NoUserCase {
    BOOL ConsoleMode;
    BOOL Started;  // as the caller; a service would start it as LocalSystem
};

TEST_F(ExecuteActionTest, WithoutAConsoleUserOnlyTheConsoleModeStartsTheProgram)
{
    Platform.QueryUserToken = NoUserAtTheConsole;
    std::wstring marker = TempFilePath(L"qarlov-no-user-marker.txt");
    Configure(L"cmd.exe /c echo started>\"" + marker + L"\"", 1, INFINITE);
    const NoUserCase cases[] = { { FALSE, FALSE }, { TRUE, TRUE } };
    for (const NoUserCase& c : cases) {
        DeleteFileW(marker.c_str());
        SetConsoleModeCache(c.ConsoleMode);
        DWORD error = 0;
        CaptureConsoleOutput([&] {
            ExecuteProgramAction();
            error = GetLastError();
        });
        SetConsoleModeCache(TRUE);
        EXPECT_EQ(c.Started, GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES) << "console " << c.ConsoleMode;
        if (!c.Started) {
            EXPECT_EQ((DWORD)ERROR_NO_TOKEN, error) << "the warning's tail names why";
        }
    }
    DeleteFileW(marker.c_str());
}

struct NotStartedCase {
    const char* Name;
    std::wstring CommandLine;
    std::wstring Text8;
    const char* Warning;
};

TEST_F(ExecuteActionTest, CommandLineThatIsNotTheConfiguredOneIsNotStarted)
{
    std::wstring marker = TempFilePath(L"qarlov-not-started-marker.txt");
    std::wstring batch = TempFilePath(L"qarlov-not-started.bat");
    FILE* file = _wfopen(batch.c_str(), L"wb");
    ASSERT_NE(nullptr, file);
    fprintf(file, "@echo started>\"%ls\"\r\n", marker.c_str());
    fclose(file);
    const NotStartedCase cases[] = {
        { "cut", L"cmd.exe /c echo %07 %07>\"" + marker + L"\"", std::wstring(8150, L'b'),
          "  WARNING  The command line of the Execute action would pass 8191 characters with the log line's values. "
          "The program is not started.\r\n" },
        { "batch", L"\"" + batch + L"\" \"%07\"", L"x & y",
          "  WARNING  A value of the log line holds a character that the batch file's command interpreter would act "
          "on. The program is not started.\r\n" },
    };
    for (const NotStartedCase& c : cases) {
        SCOPED_TRACE(c.Name);
        DeleteFileW(marker.c_str());
        Sample.Text8 = c.Text8;
        Sample.Publish();
        Configure(c.CommandLine, 1, INFINITE);
        std::string output = CaptureConsoleOutput(ExecuteProgramAction);
        EXPECT_EQ(1u, CountOf(output, c.Warning)) << output;
        EXPECT_EQ(1u, CountOf(output, "\n")) << output;
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(marker.c_str()));
    }
    DeleteFileW(batch.c_str());
}

// ---- Syslog -------------------------------------------------------------

TEST_F(ActionTest, SyslogPayloadIsPriorityAndMessageOneBytePerCharacter)
{
    struct Case {
        DWORD Facility, Severity;
        const wchar_t* Message;
        std::string Expected;
    } cases[] = {
        { 16, 6, L"%01", "<134>51" },
        { 1, 9, L"x", "<9>x" },  // bitwise OR, not addition
        { 23, 7, L"", "<191>" },
        { 0, 0, L"%04 %05 %s %d", "<0>HOST01 alice %s %d" },
    };
    for (const Case& c : cases) {
        SyslogAction syslog = {};
        syslog.Facility = c.Facility;
        syslog.Severity = c.Severity;
        syslog.Message = (wchar_t*)c.Message;
        std::vector<char> payload(TextLimit, 'Z');
        int length = BuildSyslogPayload(&syslog, payload.data());
        EXPECT_EQ(c.Expected, std::string(payload.data(), (size_t)length));
    }
}

// The headers and structured data of FORMAT 1 (RFC 3164) and FORMAT 2
// (RFC 5424), from a given time, offset, host and process.
TEST_F(ActionTest, FormattedSyslogTextHasTheCollectorsHeaderAndStructuredData)
{
    const SYSTEMTIME evening = { 2026, 12, 1, 7, 17, 30, 0, 123 };
    const SYSTEMTIME midnight = { 2027, 1, 5, 1, 0, 0, 0, 0 };
    const std::wstring sd = L"[qarlov@32473 time=\"17.05.2023 14:30:05\" event=\"51\" category=\"1\" logger=\"2\" "
                            L"computer=\"HOST01\" user=\"alice\" risk=\"EICAR Test String\" "
                            L"path=\"C:\\\\Users\\\\alice\\\\eicar.com\" action=\"4\"]";
    const std::wstring longPath(9000, L'x');
    const std::wstring cutHead = L"<134>1 2026-12-07T17:30:00.123+01:00 WKS-0142 QARLOV 1234 EVENT51 "
                                 L"[qarlov@32473 time=\"17.05.2023 14:30:05\" event=\"51\" category=\"1\" logger=\"2\" "
                                 L"computer=\"HOST01\" user=\"alice\" risk=\"EICAR Test String\" path=\"";
    struct Case {
        DWORD Format;
        SYSTEMTIME Time;
        LONG Offset;
        const wchar_t* Host;
        bool WithRecord;
        std::wstring Risk, Path, Message, Expected;
        BOOL Cut;
    } cases[] = {
        // The day padded with a blank; no zone, no year.
        { 1, evening, 60, L"WKS-0142", true, L"", L"", L"risk found",
          L"<134>Dec  7 17:30:00 WKS-0142 QARLOV[1234]: risk found", FALSE },
        { 1, { 2026, 5, 0, 17, 0, 0, 5, 999 }, -480, L"WKS-0142", true, L"", L"", L"a\nb",
          L"<134>May 17 00:00:05 WKS-0142 QARLOV[1234]: a\nb", FALSE },
        // East of Greenwich, with the line's values; the message is not escaped.
        { 2, evening, 60, L"WKS-0142", true, L"", L"", L"m \"x\" ]",
          L"<134>1 2026-12-07T17:30:00.123+01:00 WKS-0142 QARLOV 1234 EVENT51 " + sd + L" \xFEFFm \"x\" ]", FALSE },
        // West, with half an hour; midnight; UTC.
        { 2, midnight, -210, L"WKS-0142", true, L"", L"", L"m",
          L"<134>1 2027-01-01T00:00:00.000-03:30 WKS-0142 QARLOV 1234 EVENT51 " + sd + L" \xFEFFm", FALSE },
        { 2, midnight, 0, L"WKS-0142", true, L"", L"", L"m",
          L"<134>1 2027-01-01T00:00:00.000+00:00 WKS-0142 QARLOV 1234 EVENT51 " + sd + L" \xFEFFm", FALSE },
        { 2, evening, 345, L"WKS-0142", true, L"", L"", L"",
          L"<134>1 2026-12-07T17:30:00.123+05:45 WKS-0142 QARLOV 1234 EVENT51 " + sd + L" \xFEFF", FALSE },
        // '"', '\' and ']' escaped in a value; other characters as they are.
        { 2, evening, 60, L"WKS-0142", true, L"EICAR \"Te]st\" \\ \u00fc\u4e2d", L"C:\\a", L"m",
          L"<134>1 2026-12-07T17:30:00.123+01:00 WKS-0142 QARLOV 1234 EVENT51 [qarlov@32473 "
          L"time=\"17.05.2023 14:30:05\" event=\"51\" category=\"1\" logger=\"2\" computer=\"HOST01\" "
          L"user=\"alice\" risk=\"EICAR \\\"Te\\]st\\\" \\\\ \u00fc\u4e2d\" path=\"C:\\\\a\" action=\"4\"] \xFEFFm",
          FALSE },
        // A header field is printable ASCII without blanks, "-" when empty.
        { 2, evening, 60, L"MY PC\u00e9", false, L"", L"", L"m",
          L"<134>1 2026-12-07T17:30:00.123+01:00 MY?PC? QARLOV 1234 - - \xFEFFm", FALSE },
        { 1, evening, 60, L"", false, L"", L"", L"m", L"<134>Dec  7 17:30:00 - QARLOV[1234]: m", FALSE },
        // Too long: the value is cut, the structured data stays closed.
        { 2, evening, 60, L"WKS-0142", true, L"", longPath, L"m",
          cutHead + std::wstring(8191 - cutHead.size() - 4, L'x') + L"\"] \xFEFF", TRUE },
    };
    for (const Case& c : cases) {
        Sample.Text7 = c.Risk.empty() ? L"EICAR Test String" : c.Risk;
        Sample.Text8 = c.Path.empty() ? L"C:\\Users\\alice\\eicar.com" : c.Path;
        Sample.Publish();
        if (!c.WithRecord)
            CurrentRecord = NULL;
        SyslogOrigin origin = { c.Time, c.Offset, c.Host, 1234 };
        std::vector<wchar_t> text(TextLimit, L'Z');
        BOOL cut = ComposeSyslogText(c.Format, 134, &origin, c.Message.c_str(), text.data());
        EXPECT_EQ(c.Expected, std::wstring(text.data())) << c.Format << " " << c.Offset;
        EXPECT_EQ(c.Cut, cut);
    }
}

// The rows in code pages 1251, 932 and 1252 send the bytes that the parser
// table (logparser_test) decodes into the same characters.
TEST(NarrowToBytes, SendsTheCodePagesBytesAndStopsBeforeACharacterThatDoesNotFit)
{
    struct Case {
        UINT CodePage;
        const wchar_t* Text;
        size_t Capacity;
        std::string Bytes;
        BOOL Whole;
    } cases[] = {
        { 1252, L"123456", 4, "123", FALSE },
        { 1252, L"caf\u00e9 \u20ac\u0100 \u00ff", TextLimit, "caf\xe9 \x80? \xff", TRUE },
        { 1252, L"\u20ac \u2026", TextLimit, "\x80 \x85", TRUE },
        { 1251, L"C:\\\u0432\u0438\u0440\u0443\u0441\\\u0444\u0430\u0439\u043b.exe", TextLimit,
          "C:\\\xe2\xe8\xf0\xf3\xf1\\\xf4\xe0\xe9\xeb.exe", TRUE },
        { 1251, L"\u4e00", TextLimit, "?", TRUE },
        { 932, L"C:\\\u8868\\a", TextLimit, "C:\\\x95\x5c\\a", TRUE },
        { 932, L"\u8868\x0095", TextLimit, "\x95\x5c\x95", TRUE },
        { 932, L"\x0095 a", TextLimit, "\x95 a", TRUE },
        { 932, L"a\u8868", 3, "a", FALSE },
        { 932, L"\U0001F600", TextLimit, "?", TRUE },
    };
    for (const Case& c : cases) {
        std::vector<char> bytes(c.Capacity, 'Z');
        size_t count = 99;
        EXPECT_EQ(c.Whole, NarrowToBytes(c.CodePage, c.Text, bytes.data(), c.Capacity, &count)) << c.Bytes;
        EXPECT_EQ(c.Bytes, std::string(bytes.data(), count)) << c.CodePage;
        EXPECT_EQ('\0', bytes[count]) << c.Bytes;
    }
}

// Starts Windows Sockets for a test's own socket of type, bound to a free
// port of the loopback address of family (AF_INET or AF_INET6); the bound
// address in *address.
static SOCKET BindLoopback(int family, int type, sockaddr_storage* address)
{
    WSADATA data;
    WSAStartup(0x0202, &data);
    SOCKET bound = socket(family, type, 0);
    *address = {};
    address->ss_family = (short)family;
    if (family == AF_INET)
        ((sockaddr_in*)address)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    else
        ((sockaddr_in6*)address)->sin6_addr.s6_addr[15] = 1;
    int size = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    bind(bound, (sockaddr*)address, size);
    getsockname(bound, (sockaddr*)address, &size);
    return bound;
}

// The port of an IPv4 or IPv6 address; both keep it at the same place.
static u_short PortOf(const sockaddr_storage& address)
{
    return ntohs(((const sockaddr_in*)&address)->sin_port);
}

// A UDP socket on the loopback address that receives what the action sends.
class UdpReceiver {
public:
    explicit UdpReceiver(int family = AF_INET)
    {
        sockaddr_storage address;
        Socket = BindLoopback(family, SOCK_DGRAM, &address);
        Port = PortOf(address);
    }
    ~UdpReceiver()
    {
        closesocket(Socket);
        WSACleanup();
    }
    // The datagrams that arrive: the first within timeout milliseconds,
    // each further one within 200 ms of the one before.
    std::vector<std::string> Receive(DWORD timeout)
    {
        std::vector<std::string> datagrams;
        char buffer[TextLimit + 16];
        for (;;) {
            setsockopt(Socket, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeout, sizeof(timeout));
            int received = recv(Socket, buffer, sizeof(buffer), 0);
            if (received < 0)
                return datagrams;
            datagrams.push_back(std::string(buffer, (size_t)received));
            timeout = 200;
        }
    }
    SOCKET Socket;
    u_short Port;
};

class SyslogActionTest : public ActionTest {
protected:
    UdpReceiver Receiver;
    void SetUp() override
    {
        ActionTest::SetUp();
        SyslogAction* syslog = NewAction<SyslogAction>();
        syslog->Facility = 16;
        syslog->Severity = 6;
        syslog->ServerIP = Owned(L"127.0.0.1");
        syslog->ServerPort = 65536 + Receiver.Port;  // only the low 16 bits count
        syslog->Message = Owned(L"%04 found %06");
        MonitorSettings->Syslog = syslog;
    }
};

TEST_F(SyslogActionTest, SendsOneDatagramToTheServer)
{
    WinsockStarted = 0;
    std::string output = CaptureConsoleOutput(ExecuteSyslogAction);
    EXPECT_EQ("", output);
    EXPECT_EQ(1, WinsockStarted);
    std::vector<std::string> datagrams = Receiver.Receive(2000);
    ASSERT_EQ(1u, datagrams.size());
    EXPECT_EQ("<134>HOST01 found EICAR Test String", datagrams[0]);
}

TEST_F(SyslogActionTest, ServerMayBeAHostNameOrAnIPv6Address)
{
    for (auto server : { std::make_pair(AF_INET, L"localhost"), std::make_pair(AF_INET6, L"::1") }) {
        UdpReceiver receiver(server.first);
        FreeText(&MonitorSettings->Syslog->ServerIP);
        MonitorSettings->Syslog->ServerIP = Owned(server.second);
        MonitorSettings->Syslog->ServerPort = receiver.Port;
        EXPECT_EQ("", CaptureConsoleOutput(ExecuteSyslogAction));
        EXPECT_EQ(1u, receiver.Receive(2000).size());
    }
}

TEST_F(SyslogActionTest, InvalidAddressIsAWarningNamingItAndSendsNothing)
{
    for (const wchar_t* address : { L"255.255.255.255", L"no-such-host.invalid", L"127.0.0.\u0661", L"" }) {
        FreeText(&MonitorSettings->Syslog->ServerIP);
        MonitorSettings->Syslog->ServerIP = Owned(address);
        for (DWORD protocol : { SyslogProtocolUdp, SyslogProtocolTcp }) {
            MonitorSettings->Syslog->Protocol = protocol;
            std::string output = CaptureConsoleOutput(ExecuteSyslogAction);
            EXPECT_EQ(1u, CountOf(output, "WARNING  Invalid IP address specified for Syslog message. [")) << output;
            if (wcscmp(address, L"no-such-host.invalid") == 0) {
                EXPECT_EQ(1u, CountOf(output, "message. [no-such-host.invalid]")) << output;
            }
        }
    }
    EXPECT_TRUE(Receiver.Receive(300).empty());
}

// A TCP listener on 127.0.0.1 whose queue of waiting connections is full:
// a further connection attempt gets no answer, as with a stalled collector.
class StalledTcpListener {
public:
    StalledTcpListener()
    {
        sockaddr_storage address;
        Listener = BindLoopback(AF_INET, SOCK_STREAM, &address);
        listen(Listener, 0);
        Port = PortOf(address);
        for (SOCKET& waiting : Waiting) {
            waiting = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            u_long nonBlocking = 1;
            ioctlsocket(waiting, FIONBIO, &nonBlocking);
            connect(waiting, (sockaddr*)&address, sizeof(sockaddr_in));
        }
        Sleep(200);
    }
    ~StalledTcpListener()
    {
        for (SOCKET waiting : Waiting)
            closesocket(waiting);
        closesocket(Listener);
        WSACleanup();
    }
    SOCKET Listener;
    SOCKET Waiting[3];
    u_short Port;
};

TEST_F(SyslogActionTest, StalledTcpServerIsAWarningAfterTheTimeOutOrAtAStop)
{
    StalledTcpListener server;
    MonitorSettings->Syslog->ServerPort = server.Port;
    MonitorSettings->Syslog->Protocol = SyslogProtocolTcp;
    const std::string warning = "WARNING  Could not connect to the syslog server [127.0.0.1] over TCP.";

    DWORD start = GetTickCount();
    std::string output = CaptureConsoleOutput(ExecuteSyslogAction);
    DWORD took = GetTickCount() - start;
    EXPECT_EQ(1u, CountOf(output, warning)) << output;
    EXPECT_GE(took, 4500u);
    EXPECT_LT(took, 8000u);

    std::string stopped;
    start = GetTickCount();
    RunWithStopAfter(300, [&stopped] { stopped = CaptureConsoleOutput(ExecuteSyslogAction); });
    took = GetTickCount() - start;
    EXPECT_EQ(1u, CountOf(stopped, warning)) << stopped;
    EXPECT_LT(took, 1500u);
}

// ---- Message ------------------------------------------------------------

class MessageActionTest : public ActionTest {
protected:
    void Configure(const std::wstring& message)
    {
        if (MonitorSettings->Message == NULL)
            MonitorSettings->Message = NewAction<MessageAction>();
        FreeText(&MonitorSettings->Message->Message);
        MonitorSettings->Message->Message = Owned(message);
    }
};

TEST_F(MessageActionTest, LogsTheExpandedTextLiterallyAsOneWarning)
{
    Sample.Text6 = L"%s%n%d";
    Sample.Publish();
    struct Case {
        const wchar_t* Message;
        const char* Line;
    } cases[] = {
        { L"%04 saw %07 (%05, 100%, %x)", "  WARNING  HOST01 saw C:\\Users\\alice\\eicar.com (%s%n%d, 100%, %x)\r\n" },
        { L"", "  WARNING  \r\n" },
    };
    for (const Case& c : cases) {
        Configure(c.Message);
        std::string output = CaptureConsoleOutput([] {
            SetLastError(ERROR_CONNECTION_REFUSED);  // an earlier action's: not shown with the text
            ExecuteMessageAction();
        });
        EXPECT_EQ(1u, CountOf(output, "\n")) << output;
        EXPECT_EQ(output.size() - strlen(c.Line), output.find(c.Line)) << output;
    }
}

TEST_F(ActionTest, AbsentActionsDoNothing)
{
    std::string output = CaptureConsoleOutput([] {
        ExecuteDialogAction();
        ExecuteSyslogAction();
        ExecuteProgramAction();
        ExecuteMessageAction();
    });
    EXPECT_EQ("", output);
}

// ---- Values that make a text too long ----------------------------------

struct CutCase {
    const char* Warning;
    std::function<void()> Configure;
    std::function<void()> Action;
    std::function<void(const std::string& output)> Check;  // the cut text was used
};

TEST_F(DialogActionTest, ValuesThatMakeATextTooLongCutItWithOneWarning)
{
    Sample.Text8 = std::wstring(8150, L'b');
    Sample.Publish();
    const std::string cutLine = std::string(8150, 'b') + " " + std::string(40, 'b') + "\r\n";
    const CutCase cases[] = {
        { "The text of the Dialog action was cut",
          [&] { Configure(L"%07 %07", L"%07 %07", 0, 0); }, ExecuteDialogAction,
          [](const std::string&) {
              ASSERT_EQ(1u, DialogCalls.size());
              EXPECT_EQ(8191u, DialogCalls[0].Title.size());
              EXPECT_EQ(8191u, DialogCalls[0].Message.size());
          } },
        { "The text of the Syslog action was cut",
          [] {
              MonitorSettings->Syslog = NewAction<SyslogAction>();
              MonitorSettings->Syslog->Message = Owned(L"%07 %07");
          },
          [] {
              std::vector<char> payload(TextLimit);
              EXPECT_EQ(8191, BuildSyslogPayload(MonitorSettings->Syslog, payload.data()));
          },
          [](const std::string&) {} },
        { "The text of the Message action was cut",
          [] {
              MonitorSettings->Message = NewAction<MessageAction>();
              MonitorSettings->Message->Message = Owned(L"%07 %07");
          },
          ExecuteMessageAction,
          [&](const std::string& output) { EXPECT_EQ(1u, CountOf(output, "  WARNING  " + cutLine)); } },
    };
    for (const CutCase& c : cases) {
        SCOPED_TRACE(c.Warning);
        DialogCalls.clear();
        c.Configure();
        std::string output = CaptureConsoleOutput(c.Action);
        EXPECT_EQ(1u, CountOf(output, std::string("  WARNING  ") + c.Warning +
                                          " to 8191 characters: the log line's values don't fit.\r\n"))
            << output.substr(0, 300);
        c.Check(output);
    }
}

// ---- Texts that don't fit end the process -------------------------------

struct FatalCase {
    const char* Name;
    std::function<void()> Configure;
    void (*Action)(void);
    const char* Message;
};

TEST_F(ActionTest, TextsThatDoNotFitEndTheProcess)
{
    const std::wstring tooLong(TextLimit, L'x');
    const FatalCase cases[] = {
        { "dialog title",
          [&] {
              MonitorSettings->Dialog = NewAction<DialogAction>();
              MonitorSettings->Dialog->Title = Owned(tooLong);
              MonitorSettings->Dialog->Message = Owned(L"m");
          },
          ExecuteDialogAction, "Error copying the title string in ExecuteDialogAction." },
        { "dialog message",
          [&] {
              MonitorSettings->Dialog = NewAction<DialogAction>();
              MonitorSettings->Dialog->Title = Owned(L"t");
              MonitorSettings->Dialog->Message = Owned(tooLong);
          },
          ExecuteDialogAction, "Error copying the message string in ExecuteDialogAction." },
        { "command line",
          [&] {
              MonitorSettings->Execute = NewAction<ExecuteAction>();
              MonitorSettings->Execute->CommandLine = Owned(tooLong);
          },
          ExecuteProgramAction, "Error copying the command line of the executable." },
        { "program path below the SEP folder",
          [&] {
              MonitorSettings->Execute = NewAction<ExecuteAction>();
              MonitorSettings->Execute->CommandLine = Owned(std::wstring(600, L'p') + L" args");
              MonitorSettings->Execute->UseSEPBinPath = 1;
              MonitorSettings->SEPBinPath = Owned(L"C:\\SEP");
          },
          ExecuteProgramAction, "Error adding a file name to a directory name." },
        { "syslog message",
          [&] {
              MonitorSettings->Syslog = NewAction<SyslogAction>();
              MonitorSettings->Syslog->ServerIP = Owned(L"127.0.0.1");
              MonitorSettings->Syslog->Message = Owned(std::wstring(TextLimit - 3, L'x'));  // "<0>" + 8189
          },
          ExecuteSyslogAction, "Error formatting syslog message." },
        { "message",
          [&] {
              MonitorSettings->Message = NewAction<MessageAction>();
              MonitorSettings->Message->Message = Owned(tooLong);
          },
          ExecuteMessageAction, "Error copying the message string in ExecuteMessageAction." },
    };
    for (const FatalCase& c : cases) {
        ResetMonitorSettings();
        c.Configure();
        void (*action)(void) = c.Action;
        EXPECT_ERROR_EXIT(action(), c.Message) << c.Name;
    }
}
