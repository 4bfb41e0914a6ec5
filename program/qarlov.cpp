#include "program/qarlov.h"
#include "actions/actions.h"
#include "actions/logrecord.h"
#include "config/settings.h"
#include "core/console.h"
#include "core/log.h"
#include "core/platform.h"
#include "core/runstate.h"
#include "monitor/monitor.h"
#include "service/service.h"

// Set by the first stop path; a second one (another control event while the
// first is handled) leaves the stop to it.
static volatile LONG StopInProgress = 0;
// Set by the console handler once it has released everything.
static volatile LONG ConsoleStopDone = 0;

void ReleaseGlobals(void)
{
    ReleaseWinsock();
    CloseEventSource();
    ReleaseMonitorSettings();
    ReleaseCurrentRecord();
    CloseShutDownEvent();
}

static const wchar_t* ControlEventText(DWORD controlType)
{
    switch (controlType) {
    case CTRL_C_EVENT:        return L"CRL-C detected. Shutting down QARLOV.";
    case CTRL_BREAK_EVENT:    return L"CRL-Break detected. Shutting down QARLOV.";
    case CTRL_CLOSE_EVENT:    return L"CRL-Close detected. Shutting down QARLOV.";
    case CTRL_LOGOFF_EVENT:   return L"CRL-Logoff detected. Shutting down QARLOV.";
    case CTRL_SHUTDOWN_EVENT: return L"CRL-Shutdown detected. Shutting down QARLOV.";
    default:                  return NULL;
    }
}

BOOL WINAPI ConsoleControlHandler(DWORD controlType)
{
    enum { ConsoleStopWaitLimit = 4000 };
    const wchar_t* text = ControlEventText(controlType);
    if (text != NULL)
        LogMessage(LogLevelInformation, L"%s", text);
    if (InterlockedExchange(&StopInProgress, 1))
        return TRUE;

    // Within the five seconds the system grants a handler for a closed
    // console.
    BOOL watcherReturned = WaitForWatcherReleaseWithin(ConsoleStopWaitLimit, NULL);
    LogMessage(LogLevelInformation, L"Deallocation of global variables and closing of open handles.");
    // A watcher that is still busy (or the loading before it) would use the
    // released items: let the system reclaim everything instead.
    if (!watcherReturned)
        ExitProcess(0);
    ReleaseGlobals();
    InterlockedExchange(&ConsoleStopDone, 1);
    return TRUE;
}

// The watcher returns once the console handler has asked it to stop; the
// handler then releases everything on its own thread. Returning from the
// program before it is done would end the process under it: wait (up to the
// five seconds the system grants a handler) until it is.
static void WaitForConsoleStopHandler(void)
{
    enum { Limit = 5000, Step = 10 };
    if (!StopInProgress)
        return;
    for (DWORD waited = 0; waited < Limit && !ConsoleStopDone; waited += Step)
        Sleep(Step);
}

// Started without a console window (from a scheduled task or a remote
// shell), the console run opens one of its own: the monitor then runs as in
// any console, and Ctrl-C or closing the window stops it.
static void OpenOwnConsole(void)
{
    if (IsConsoleMode())
        return;
    if (!AllocConsole())
        LogError(L"Could not open a console window for console mode.");
    SetConsoleModeCache(TRUE);
    SetFatalErrorRoutine(NULL);  // an error ends a console run without clean-up
    ShowBanner(FALSE);
}

static BOOL RunConsoleMode(void)
{
    OpenOwnConsole();
    LogMessage(LogLevelInformation, L"Starting QARLOV in console mode.\n");
    if (!SetConsoleCtrlHandler(ConsoleControlHandler, TRUE))
        LogMessage(LogLevelWarning, L"Could not install CTRL-handler for console mode.");
    RunMonitor(NULL);
    WaitForConsoleStopHandler();
    return TRUE;
}

static BOOL StartQarlovService(void) { return StartStopService(TRUE); }
static BOOL StopQarlovService(void) { return StartStopService(FALSE); }

// Every step runs whatever the one before it reached; the command's goal
// holds when each step's goal holds.
static BOOL InstallEverything(void)
{
    BOOL providerInstalled = InstallMessageProvider();
    BOOL serviceInstalled = InstallService();
    BOOL serviceRunning = StartStopService(TRUE);
    LogMessage(LogLevelInformation, L"QARLOV install completed.");
    return providerInstalled && serviceInstalled && serviceRunning;
}

// The service has stopped before anything is removed, so that the program
// file is free once the command returns.
static BOOL RemoveEverything(void)
{
    BOOL serviceStopped = StartStopService(FALSE);
    BOOL providerRemoved = RemoveMessageProvider();
    BOOL serviceRemoved = RemoveService();
    LogMessage(LogLevelInformation, L"QARLOV removal completed.");
    return serviceStopped && providerRemoved && serviceRemoved;
}

typedef struct Command {
    const wchar_t* Name;
    BOOL (*Run)(void);  // TRUE when the command's goal holds afterwards
} Command;

static const Command Commands[] = {
    { L"IMP", InstallMessageProvider }, { L"RMP", RemoveMessageProvider },
    { L"IS", InstallService },          { L"RS", RemoveService },
    { L"SA", StartQarlovService },      { L"SP", StopQarlovService },
    { L"I", InstallEverything },        { L"R", RemoveEverything },
    { L"CONSOLE", RunConsoleMode },
};

BOOL DispatchCommand(const wchar_t* argument)
{
    const wchar_t* name = argument[0] == L'-' ? argument + 1 : argument;
    for (size_t i = 0; i < sizeof(Commands) / sizeof(Commands[0]); ++i) {
        if (lstrcmpiW(name, Commands[i].Name) == 0)
            return Commands[i].Run();
    }
    LogError(L"Unknown command line argument [%s].\n\nStart QARLOV without parameters for a list of options.",
             argument);
}

static void RunServiceDispatcher(void)
{
    SetServiceReleaseRoutine(ReleaseGlobals);
    LogMessage(LogLevelInformation, L"Starting QARLOV in service mode.");
    SERVICE_TABLE_ENTRYW services[] = {
        { (LPWSTR)QARLOV_SERVICE_NAME, ServiceMain },
        { NULL, NULL },
    };
    if (!StartServiceCtrlDispatcherW(services))
        LogError(L"StartServiceCtrlDispatcher failed.");
}

// In service mode an error entry releases everything and tells the service
// manager that the service failed (once ServiceMain runs), so that it shows
// a failed service and can apply its recovery actions.
static void EndServiceAfterError(void)
{
    ReleaseGlobals();
    ReportServiceFailure();
}

int QarlovMain(int argumentCount, wchar_t** arguments)
{
    // The service manager starts the program without a console and without
    // an argument. A command runs as that command with or without a console
    // (a deployment tool or a remote shell has none); without one its
    // entries go to the event log.
    BOOL serviceStart = !IsConsoleMode() && argumentCount <= 1;
    if (!IsConsoleMode())
        SetFatalErrorRoutine(EndServiceAfterError);
    MonitorSettings = CreateMonitorSettings();
    DetectWindowsVersion();
    ShowBanner(argumentCount != 2 && !serviceStart);
    if (!IsUserAdministrator())
        LogError(L"This application needs admin rights to start.");
    if (!IsAtLeastXP)
        LogError(L"Minimum supported operating system is Windows XP.");
    if (serviceStart) {
        RunServiceDispatcher();
        return 0;
    }
    return DispatchCommand(arguments[1]) ? 0 : 1;
}
