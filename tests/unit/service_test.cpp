// The service control handler's status reports and stop, and the exact
// types and sizes of the message provider's registry values. Installing,
// running and removing the service and the provider is tested end to end
// (tests/e2e/test_service.py).
#include "config/settings.h"
#include "core/runstate.h"
#include "program/qarlov.h"
#include "service/service.h"
#include "tests/unit/error_exit.h"
#include "tests/unit/test_support.h"
#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::HasSubstr;

namespace {

// Death tests see the child's output with plain line feeds.
const char StopRequestText[] = "  QARLOV ServiceControlHandler received a request to stop the QARLOV service.";
const char ReleaseText[] = "  Deallocation of global variables and closing of open handles.";
const std::string StopRequestLine = std::string(StopRequestText) + "\r\n";
const std::string ReleaseLine = std::string(ReleaseText) + "\r\n";

class ServiceHostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetMonitorSettings();
        SetServiceReleaseRoutine(ReleaseGlobals);
        WatcherStopped = 0;
        StopRequested = 0;
        ShutDownEvent = NULL;
    }
    void TearDown() override
    {
        if (MonitorSettings == NULL)
            MonitorSettings = CreateMonitorSettings();
    }

    static void SetStatus(DWORD state, DWORD checkPoint)
    {
        // Fields the handler must set again whatever they held.
        ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        ServiceStatus.dwWin32ExitCode = 5;
        ServiceStatus.dwServiceSpecificExitCode = 6;
        ServiceStatus.dwWaitHint = 7000;
        ServiceStatus.dwControlsAccepted = 9;
        ServiceStatus.dwCurrentState = state;
        ServiceStatus.dwCheckPoint = checkPoint;
    }

    static void ExpectStatus(DWORD state, DWORD controlsAccepted, DWORD checkPoint, DWORD waitHint = 0)
    {
        EXPECT_EQ(state, ServiceStatus.dwCurrentState);
        EXPECT_EQ(controlsAccepted, ServiceStatus.dwControlsAccepted);
        EXPECT_EQ(checkPoint, ServiceStatus.dwCheckPoint);
        EXPECT_EQ((DWORD)SERVICE_WIN32_OWN_PROCESS, ServiceStatus.dwServiceType);
        EXPECT_EQ(0u, ServiceStatus.dwWin32ExitCode);
        EXPECT_EQ(0u, ServiceStatus.dwServiceSpecificExitCode);
        EXPECT_EQ(waitHint, ServiceStatus.dwWaitHint);
    }
};

TEST_F(ServiceHostTest, OtherControlsReReportTheCurrentState)
{
    // A pending state tells how long the next step may take.
    struct Case {
        DWORD State, CheckPoint, Accepted, NewCheckPoint, WaitHint;
    } cases[] = {
        { SERVICE_RUNNING, 3, SERVICE_ACCEPT_STOP, 0, 0 },
        { SERVICE_STOPPED, 2, SERVICE_ACCEPT_STOP, 0, 0 },
        { SERVICE_START_PENDING, 2, 0, 3, 10000 },
        { SERVICE_STOP_PENDING, 1, SERVICE_ACCEPT_STOP, 2, 3000 },
    };
    const DWORD controls[] = { SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PAUSE, 0x80 };
    for (DWORD control : controls) {
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << "control " << control << ", state " << c.State);
            SetStatus(c.State, c.CheckPoint);
            std::string output = CaptureConsoleOutput([&] { ServiceControlHandler(control); });
            ExpectStatus(c.State, c.Accepted, c.NewCheckPoint, c.WaitHint);
            EXPECT_EQ("", output);
            EXPECT_NE(nullptr, MonitorSettings);
        }
    }
}

// Stands in for the watcher: waits for the stop, then acknowledges it.
DWORD WINAPI AcknowledgeStop(LPVOID stoppedFirst)
{
    WaitForSingleObject(ShutDownEvent, 5000);
    if (stoppedFirst != NULL)
        ServiceStatus.dwCurrentState = SERVICE_STOPPED;  // as ServiceMain reports once the watcher returned
    AcknowledgeShutDown();
    return 0;
}

void StopWithWatcher(BOOL serviceMainReportsFirst, std::string* output)
{
    ASSERT_TRUE(CreateShutDownEvent());
    HANDLE watcher = CreateThread(NULL, 0, AcknowledgeStop, serviceMainReportsFirst ? (LPVOID)1 : NULL, 0, NULL);
    *output = CaptureConsoleOutput([] { ServiceControlHandler(SERVICE_CONTROL_STOP); });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watcher, 5000));
    CloseHandle(watcher);
}

TEST_F(ServiceHostTest, StopWaitsForTheWatcherThenReleasesTheGlobals)
{
    SetStatus(SERVICE_RUNNING, 0);
    std::string output;
    StopWithWatcher(FALSE, &output);

    // Stop-pending with check point 1, then the closing report with 2.
    ExpectStatus(SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, 2, 3000);
    EXPECT_EQ(nullptr, MonitorSettings);
    EXPECT_EQ(nullptr, ShutDownEvent);
    size_t request = output.find(StopRequestLine), release = output.find(ReleaseLine);
    ASSERT_NE(std::string::npos, request) << output;
    ASSERT_NE(std::string::npos, release) << output;
    EXPECT_LT(request, release);
}

TEST_F(ServiceHostTest, ClosingReportKeepsTheStoppedStateOfServiceMain)
{
    SetStatus(SERVICE_RUNNING, 0);
    std::string output;
    StopWithWatcher(TRUE, &output);
    ExpectStatus(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0);
    EXPECT_EQ(nullptr, MonitorSettings);
}

TEST_F(ServiceHostTest, StopAfterTheStoppedReportReportsNoStopPending)
{
    SetStatus(SERVICE_STOPPED, 0);
    WatcherStopped = 1;  // the watcher has returned already
    std::string output = CaptureConsoleOutput([] { ServiceControlHandler(SERVICE_CONTROL_STOP); });
    ExpectStatus(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0);
    EXPECT_THAT(output, HasSubstr(ReleaseLine));
}

// The service thread hasn't acknowledged (busy in an action, or still
// loading the settings): the globals stay, and the process ends.
TEST_F(ServiceHostTest, StopWithoutAcknowledgementEndsTheProcessWithoutReleasing)
{
    for (BOOL watcherStarted : { TRUE, FALSE }) {
        SetStatus(SERVICE_RUNNING, 0);
        EXPECT_CONSOLE_EXIT(
            {
                if (watcherStarted)
                    CreateShutDownEvent();
                ServiceControlHandler(SERVICE_CONTROL_STOP);
            },
            0, ::testing::AllOf(HasSubstr(StopRequestText), HasSubstr(ReleaseText)));
    }
}

class MessageProviderTest : public ::testing::Test {
protected:
    void SetUp() override { ResetMonitorSettings(); }
    void TearDown() override { DeleteTestKey(ProviderKey, 0); }

    // Below services: the same key in both registry views.
    static constexpr const wchar_t* ProviderKey = L"SYSTEM\\CurrentControlSet\\services\\eventlog\\Application\\QARLOV";
};

std::vector<BYTE> TextData(const std::wstring& text)
{
    const BYTE* bytes = (const BYTE*)text.c_str();
    return std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
}

std::vector<BYTE> NumberData(DWORD number)
{
    const BYTE* bytes = (const BYTE*)&number;
    return std::vector<BYTE>(bytes, bytes + sizeof(number));
}

TEST_F(MessageProviderTest, InstallWritesTheFourValuesEveryTime)
{
    wchar_t program[MAX_PATH];
    GetModuleFileNameW(NULL, program, MAX_PATH);
    for (int run = 0; run < 2; ++run) {
        std::string output = CaptureConsoleOutput(InstallMessageProvider);
        EXPECT_THAT(output, HasSubstr("  QARLOV was installed as message provider.\r\n"));
        EXPECT_THAT(output, ::testing::Not(HasSubstr("WARNING")));

        struct Expected {
            const wchar_t* Name;
            DWORD Type;
            std::vector<BYTE> Data;
        } values[] = {
            { L"EventMessageFile", REG_EXPAND_SZ, TextData(program) },  // unquoted, NUL counted
            { L"TypesSupported", REG_DWORD, NumberData(7) },
            { L"CategoryMessageFile", REG_EXPAND_SZ, TextData(program) },
            { L"CategoryCount", REG_DWORD, NumberData(3) },
        };
        for (const Expected& expected : values) {
            TestValue value = QueryTestValue(ProviderKey, expected.Name, 0);
            ASSERT_EQ(ERROR_SUCCESS, value.Result) << expected.Name;
            EXPECT_EQ(expected.Type, value.Type) << expected.Name;
            EXPECT_EQ(expected.Data, value.Data) << expected.Name;
        }
    }
}

} // namespace
