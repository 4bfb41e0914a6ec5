// The run state and the stop: ReleaseGlobals, the ShutDownEvent handshake
// and the console control handler. A stop releases the globals only after
// the watcher acknowledged; a watcher (or loading) that is still busy makes
// the handler end the process instead, so no thread meets a released item.
// The handler acts once per process, so its tests run as death tests.
#include <winsock2.h>
#include "core/runstate.h"
#include "actions/actions.h"
#include "actions/logrecord.h"
#include "core/log.h"
#include "monitor/logwatcher.h"
#include "program/qarlov.h"
#include "tests/unit/error_exit.h"
#include "tests/unit/monitor_fixture.h"
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <process.h>

using namespace monitor_fixture;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

class RunStateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetMonitorRule();
        WatcherStopped = 0;
        StopRequested = 0;
        SetDebugOutput(1);
        Folder = MakeTemporaryFolder(L"qrunstate");
        SetLogDirectory(Folder);
        WriteBytes(Folder + TodaysFileName(), "");
        WriteRegistryPosition(SentinelPosition);
    }
    void TearDown() override
    {
        if (MonitorSettings == NULL)
            MonitorSettings = CreateMonitorSettings();
        WatcherStopped = 0;
        StopRequested = 0;
        SetDebugOutput(1);
    }
    std::wstring Folder;
};

void ConfigureAllActions(MonitorSettingsRecord* settings)
{
    settings->SEPBinPath = Owned(L"C:\\sep\\");
    settings->Dialog = NewAction<DialogAction>();
    settings->Dialog->Message = Owned(L"message");
    settings->Dialog->Title = Owned(L"title");
    settings->Execute = NewAction<ExecuteAction>();
    settings->Execute->CommandLine = Owned(L"notepad.exe");
    settings->Syslog = NewAction<SyslogAction>();
    settings->Syslog->ServerIP = Owned(L"127.0.0.1");
    settings->Syslog->Message = Owned(L"syslog");
    settings->Message = NewAction<MessageAction>();
    settings->Message->Message = Owned(L"warning");
}

TEST_F(RunStateTest, ReleaseGlobalsReleasesEveryItemOnce)
{
    ConfigureAllActions(MonitorSettings);
    LogRecord* record = (LogRecord*)calloc(1, sizeof(LogRecord));
    record->TimeText = Owned(L"17.05.2023 14:30:05");
    record->Text5 = Owned(L"HOST01");
    record->Text8 = Owned(L"");
    CurrentRecord = record;
    ASSERT_TRUE(CreateShutDownEvent());
    HANDLE event = ShutDownEvent;
    EventSourceHandle = RegisterEventSourceW(NULL, L"QARLOV");
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(1, 1), &data));
    WinsockStarted = 1;

    ReleaseGlobals();
    EXPECT_EQ(nullptr, MonitorSettings);
    EXPECT_EQ(nullptr, CurrentRecord);
    EXPECT_EQ(NULL, ShutDownEvent);
    EXPECT_EQ(NULL, EventSourceHandle);
    EXPECT_EQ(0, WinsockStarted);
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(event, &flags)) << "ShutDownEvent is closed";
    EXPECT_EQ(INVALID_SOCKET, socket(AF_INET, SOCK_DGRAM, 0));
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError()) << "Windows Sockets were cleaned up";

    ReleaseGlobals();  // finds nothing left to release
    EXPECT_EQ(nullptr, MonitorSettings);
}

TEST_F(RunStateTest, InformationAfterTheReleaseFollowsTheReleasedDebugOutput)
{
    SetDebugOutput(0);
    ReleaseGlobals();
    std::string output = CaptureConsoleOutput([] {
        LogMessage(LogLevelInformation, L"hidden");
        LogMessage(LogLevelWarning, L"shown");
    });
    EXPECT_THAT(output, Not(HasSubstr("hidden")));
    EXPECT_THAT(output, HasSubstr("  WARNING  shown"));
}

TEST_F(RunStateTest, CreateShutDownEventMakesAManualResetEventAndAcknowledgeClosesIt)
{
    ASSERT_TRUE(CreateShutDownEvent());
    HANDLE event = ShutDownEvent;
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    SetEvent(event);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0)) << "stays signalled";

    AcknowledgeShutDown();
    EXPECT_EQ(NULL, ShutDownEvent);
    EXPECT_EQ(1, WatcherStopped);
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(event, &flags));
}

// A requested stop ends every wait of the watcher thread, and wins over an
// object that is signalled at the same time.
TEST_F(RunStateTest, WaitsEndEarlyOnAStopAndTheStopComesFirst)
{
    HANDLE signalled = CreateEventW(NULL, TRUE, TRUE, NULL);
    HANDLE quiet = CreateEventW(NULL, TRUE, FALSE, NULL);
    struct Case {
        HANDLE Object;
        BOOL EventExists, Stop;
        DWORD Milliseconds;
        WaitOutcome Expected;
    } cases[] = {
        { signalled, TRUE, FALSE, INFINITE, WaitSignalled },
        { signalled, TRUE, TRUE, INFINITE, WaitStopped },
        { quiet, TRUE, TRUE, INFINITE, WaitStopped },
        { NULL, TRUE, TRUE, INFINITE, WaitStopped },
        { quiet, TRUE, FALSE, 20, WaitTimedOut },
        { NULL, FALSE, FALSE, 20, WaitTimedOut },
        { signalled, FALSE, TRUE, INFINITE, WaitStopped },  // requested before the event exists
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "object signalled " << (c.Object == signalled) << ", stop " << c.Stop);
        if (c.EventExists) {
            ASSERT_TRUE(CreateShutDownEvent());
        }
        if (c.Stop)
            RequestStop();
        EXPECT_EQ(c.Expected, WaitUnlessStopped(c.Object, c.Milliseconds));
        if (c.EventExists)
            AcknowledgeShutDown();
        StopRequested = 0;
    }
    CloseHandle(signalled);
    CloseHandle(quiet);
}

TEST_F(RunStateTest, WithoutAWatcherTheWaitEndsAtOnce)
{
    DWORD start = GetTickCount();
    EXPECT_FALSE(WaitForWatcherRelease()) << "nothing has stopped: the loading may still run";
    WatcherStopped = 1;
    EXPECT_TRUE(WaitForWatcherRelease()) << "the watcher has returned already";
    EXPECT_LT(GetTickCount() - start, 50u);
}

TEST_F(RunStateTest, ABusyWatcherIsWaitedForTwentyRandomIntervalsAndKeepsItsEvent)
{
    ASSERT_TRUE(CreateShutDownEvent());
    HANDLE event = ShutDownEvent;
    DWORD start = GetTickCount();
    EXPECT_FALSE(WaitForWatcherRelease());
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 400u);
    EXPECT_LE(elapsed, 2180u + 1000u);
    EXPECT_EQ(event, ShutDownEvent) << "the stop side never closes the watcher's event";
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0)) << "the event was signalled";
    AcknowledgeShutDown();
}

unsigned __stdcall AcknowledgeWhenSignalled(void*)
{
    WaitForSingleObject(ShutDownEvent, INFINITE);
    Sleep(150);
    AcknowledgeShutDown();
    return 0;
}

TEST_F(RunStateTest, AWatcherThatAcknowledgesEndsTheWait)
{
    ASSERT_TRUE(CreateShutDownEvent());
    HANDLE thread = (HANDLE)_beginthreadex(NULL, 0, AcknowledgeWhenSignalled, NULL, 0, NULL);
    DWORD start = GetTickCount();
    EXPECT_TRUE(WaitForWatcherRelease());
    EXPECT_LT(GetTickCount() - start, 1000u);
    EXPECT_EQ(NULL, ShutDownEvent);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

// ---- the console control handler (one stop per process: death tests) ---------

// Starts the log-file watcher and waits until it waits.
HANDLE StartWatcher(void)
{
    HANDLE thread = (HANDLE)_beginthreadex(NULL, 0, RunWatchLogFile, NULL, 0, NULL);
    for (int i = 0; i < 2000 && ShutDownEvent == NULL; ++i)
        Sleep(5);
    Sleep(100);
    return thread;
}

// Stops a running watcher through the handler; exits 7 when the handler
// returned TRUE after the watcher had returned and the globals were released.
void StopThroughHandler(DWORD controlType)
{
    HANDLE thread = StartWatcher();
    BOOL handled = ConsoleControlHandler(controlType);
    // The acknowledgement is the watcher's last act; its thread ends right after.
    BOOL watcherEnded = WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0;
    BOOL released = MonitorSettings == NULL && ShutDownEvent == NULL && CurrentRecord == NULL;
    ExitProcess(handled && watcherEnded && released ? 7 : 8);
}

// The lines appear in the given order. (A death test reads the child's
// output with its line ends converted, so the parts name none.)
::testing::Matcher<const std::string&> InOrder(std::vector<std::string> parts)
{
    return ::testing::Truly([parts](const std::string& output) {
        size_t at = 0;
        for (const std::string& part : parts) {
            at = output.find(part, at);
            if (at == std::string::npos)
                return false;
            at += part.size();
        }
        return true;
    });
}

const char* const WatcherLine = "  Shutting down log file monitor routine. QARLOV is about to stop.";
const char* const ReleaseLine = "  Deallocation of global variables and closing of open handles.";

TEST_F(RunStateTest, EachControlEventStopsTheWatcherThenReleasesTheGlobals)
{
    struct Case {
        DWORD Type;
        const char* Text;
    } cases[] = {
        { CTRL_C_EVENT, "  CRL-C detected. Shutting down QARLOV." },
        { CTRL_BREAK_EVENT, "  CRL-Break detected. Shutting down QARLOV." },
        { CTRL_CLOSE_EVENT, "  CRL-Close detected. Shutting down QARLOV." },
        { CTRL_LOGOFF_EVENT, "  CRL-Logoff detected. Shutting down QARLOV." },
        { CTRL_SHUTDOWN_EVENT, "  CRL-Shutdown detected. Shutting down QARLOV." },
        { 3, NULL },
        { 4, NULL },
        { 7, NULL },
    };
    for (const Case& c : cases) {
        if (c.Text != NULL) {
            EXPECT_CONSOLE_EXIT(StopThroughHandler(c.Type), 7, InOrder({ c.Text, WatcherLine, ReleaseLine }))
                << "control type " << c.Type;
        } else {
            EXPECT_CONSOLE_EXIT(StopThroughHandler(c.Type), 7,
                                ::testing::AllOf(InOrder({ WatcherLine, ReleaseLine }), Not(HasSubstr("detected"))))
                << "control type " << c.Type;
        }
    }
}

TEST_F(RunStateTest, WithDebugOutputOffTheStopIsSilent)
{
    SetDebugOutput(0);
    EXPECT_CONSOLE_EXIT(StopThroughHandler(CTRL_C_EVENT), 7,
                        ::testing::AllOf(Not(HasSubstr("CRL-C")), Not(HasSubstr("Shutting down")),
                                         Not(HasSubstr("Deallocation"))));
}

TEST_F(RunStateTest, ASecondControlEventLeavesTheStopToTheFirst)
{
    EXPECT_CONSOLE_EXIT(
        {
            HANDLE thread = StartWatcher();
            BOOL first = ConsoleControlHandler(CTRL_C_EVENT);
            BOOL second = ConsoleControlHandler(CTRL_BREAK_EVENT);
            WaitForSingleObject(thread, 5000);
            ExitProcess(first && second ? 7 : 8);
        },
        7,
        ::testing::AllOf(InOrder({ "CRL-C detected", ReleaseLine, "CRL-Break detected" }),
                         ::testing::Truly([](const std::string& output) {
                             size_t first = output.find("Deallocation");
                             return output.find("Deallocation", first + 1) == std::string::npos;
                         })));
}

// Stands for a watcher inside a long action: it keeps using the settings.
unsigned __stdcall UseSettingsForever(void*)
{
    for (;;) {
        volatile DWORD instance = MonitorSettings->Instance;
        (void)instance;
        volatile DWORD length = (DWORD)wcslen(MonitorSettings->FileName);
        (void)length;
    }
}

// The handler gives up waiting and ends the process (exit code 0) without
// releasing what the busy thread still uses; a release would crash it.
TEST_F(RunStateTest, AStopWhileTheWatcherIsBusyEndsTheProcessWithoutReleasing)
{
    EXPECT_CONSOLE_EXIT(
        {
            ASSERT_TRUE(CreateShutDownEvent());
            _beginthreadex(NULL, 0, UseSettingsForever, NULL, 0, NULL);
            ConsoleControlHandler(CTRL_C_EVENT);
            ExitProcess(8);
        },
        0, InOrder({ "  CRL-C detected. Shutting down QARLOV.", ReleaseLine }));
}

TEST_F(RunStateTest, AStopWhileTheSettingsAreLoadingEndsTheProcessAtOnce)
{
    EXPECT_CONSOLE_EXIT(
        {
            _beginthreadex(NULL, 0, UseSettingsForever, NULL, 0, NULL);
            ConsoleControlHandler(CTRL_C_EVENT);
            ExitProcess(8);
        },
        0, InOrder({ "  CRL-C detected. Shutting down QARLOV.", ReleaseLine }));
}

}  // namespace
