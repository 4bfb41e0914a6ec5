#include "core/entry.h"
#include "config/settings.h"
#include "core/log.h"
#include "core/runstate.h"
#include "monitor/eventwatcher.h"
#include "monitor/logwatcher.h"
#include "service/service.h"

#define QARLOV_ICON_ID 102

// The console answer is asked once; -1 means not asked yet.
static volatile LONG ConsoleModeCache = -1;

BOOL IsConsoleMode(void)
{
    LONG cached = ConsoleModeCache;
    if (cached < 0) {
        cached = GetConsoleWindow() != NULL ? 1 : 0;
        ConsoleModeCache = cached;
    }
    return cached != 0;
}

void SetConsoleModeCache(BOOL consoleMode)
{
    ConsoleModeCache = consoleMode ? 1 : 0;
}

void DetectWindowsVersion(void)
{
    OSVERSIONINFOW version;
    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExW(&version);
    IsAtLeastXP = version.dwMajorVersion > 5 || (version.dwMajorVersion == 5 && version.dwMinorVersion >= 1);
    IsAtLeastWindows7 = version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 1);

    typedef BOOL(WINAPI * IsWow64ProcessRoutine)(HANDLE, PBOOL);
    IsWow64ProcessRoutine isWow64Process =
        (IsWow64ProcessRoutine)(void*)GetProcAddress(GetModuleHandleW(L"kernel32"), "IsWow64Process");
    if (isWow64Process != NULL) {
        BOOL wow64 = FALSE;
        isWow64Process(GetCurrentProcess(), &wow64);
        IsWow64 = wow64;
    }
}

// The program's icon, from user32 loaded on first use: user32 is needed for
// nothing else, and a program that waits for hours should not carry it.
static HICON LoadProgramIcon(void)
{
    typedef HICON(WINAPI * LoadIconRoutine)(HINSTANCE, LPCWSTR);
    HMODULE user32 = LoadLibraryW(L"user32.dll");
    LoadIconRoutine loadIcon = user32 != NULL ? (LoadIconRoutine)(void*)GetProcAddress(user32, "LoadIconW") : NULL;
    if (loadIcon == NULL)
        return NULL;
    return loadIcon(GetModuleHandleW(NULL), MAKEINTRESOURCEW(QARLOV_ICON_ID));
}

// SetConsoleIcon is not documented; it is looked up once and skipped where
// it doesn't exist. A console that answers "not implemented" to a null icon
// (the default icon) can't show one, so none is loaded for it.
static void SetConsoleIconFromResource(void)
{
    typedef BOOL(WINAPI * SetConsoleIconRoutine)(HICON);
    static SetConsoleIconRoutine setConsoleIcon = NULL;
    static BOOL lookedUp = FALSE;
    if (!lookedUp) {
        setConsoleIcon =
            (SetConsoleIconRoutine)(void*)GetProcAddress(GetModuleHandleW(L"kernel32"), "SetConsoleIcon");
        lookedUp = TRUE;
    }
    if (setConsoleIcon == NULL)
        return;
    SetLastError(ERROR_SUCCESS);
    BOOL takesIcons = setConsoleIcon(NULL) || GetLastError() != ERROR_CALL_NOT_IMPLEMENTED;
    SetLastError(ERROR_SUCCESS);
    if (takesIcons)
        setConsoleIcon(LoadProgramIcon());
}

static void PrintUsage(void)
{
    ConsoleWrite(L"\nUsage: QARLOV -IMP | -RMP | -IS | -RS | -SA | -SP | -I | -R | -CONSOLE\n\n");
    ConsoleWrite(L"-IMP      Register this executable as a message provider in the registry.\n");
    ConsoleWrite(L"-RMP      Remove message provider entries from the registry.\n");
    ConsoleWrite(L"-IS       Register this application as a Windows autostart service.\n");
    ConsoleWrite(L"-RS       Remove the service registration from the registry.\n");
    ConsoleWrite(L"-SA       Start the service.\n");
    ConsoleWrite(L"-SP       Stop the service.\n");
    ConsoleWrite(L"-I        Install message provider and service and start the service.\n");
    ConsoleWrite(L"-R        Stop the service and remove the message provider and service registrations.\n");
    ConsoleWrite(L"-CONSOLE  Normal operation as console application.\n\n");
    ConsoleWrite(L"\nProgram stopped.\n\n");
}

void ShowBanner(BOOL showUsage)
{
    if (!IsConsoleMode())
        return;
    SetConsoleTitleW(L"Tessaline - Console Version");
    SetConsoleIconFromResource();
    ConsoleWrite(L"\nTessaline - QARLOV\n");
    ConsoleWrite(L"Antivirus log monitor by kestu, version 1.0.0.0\n\n");
    ConsolePrint(L"Running on a %s bit installation of Windows %s.\n\n", IsWow64 ? L"64" : L"32",
                 IsAtLeastWindows7 ? L"7" : L"XP");
    if (showUsage) {
        PrintUsage();
        ExitProcess(1);
    }
}

void RunWatcher(void)
{
    if (MonitorSettings->TriggerStrategy == 0)
        WatchLogFile();
    else
        WatchEventLog();
}

static void RunConsoleMode(void)
{
    LogMessage(LogLevelInformation, L"Starting QARLOV in console mode.\n");
    if (!SetConsoleCtrlHandler(ConsoleControlHandler, TRUE))
        LogMessage(LogLevelWarning, L"Could not install CTRL-handler for console mode.");
    LoadQARLOVRegistrySettings();
    PrintRuleSummary();
    RunWatcher();
    WaitForConsoleStopHandler();
}

static void StartQarlovService(void) { StartStopService(TRUE); }
static void StopQarlovService(void) { StartStopService(FALSE); }

static void InstallEverything(void)
{
    InstallMessageProvider();
    InstallService();
    StartStopService(TRUE);
    LogMessage(LogLevelInformation, L"QARLOV install completed.");
}

static void RemoveEverything(void)
{
    StartStopService(FALSE);
    RemoveMessageProvider();
    RemoveService();
    LogMessage(LogLevelInformation, L"QARLOV removal completed.");
}

typedef struct Command {
    const wchar_t* Name;
    void (*Run)(void);
} Command;

static const Command Commands[] = {
    { L"IMP", InstallMessageProvider }, { L"RMP", RemoveMessageProvider },
    { L"IS", InstallService },          { L"RS", RemoveService },
    { L"SA", StartQarlovService },      { L"SP", StopQarlovService },
    { L"I", InstallEverything },        { L"R", RemoveEverything },
    { L"CONSOLE", RunConsoleMode },
};

void DispatchCommand(const wchar_t* argument)
{
    const wchar_t* name = argument[0] == L'-' ? argument + 1 : argument;
    for (size_t i = 0; i < sizeof(Commands) / sizeof(Commands[0]); ++i) {
        if (lstrcmpiW(name, Commands[i].Name) == 0) {
            Commands[i].Run();
            return;
        }
    }
    LogMessage(LogLevelError,
               L"Unknown command line argument [%s].\n\nStart QARLOV without parameters for a list of options.",
               argument);
}

// Membership of the local Administrators group in the effective token, as the
// shell's IsUserAnAdmin answers it (a process that isn't elevated under user
// account control is not an administrator), without loading the shell.
BOOL IsUserAdministrator(void)
{
    SID_IDENTIFIER_AUTHORITY ntAuthority = { SECURITY_NT_AUTHORITY };
    PSID administrators = NULL;
    BOOL isMember = FALSE;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                  0, 0, 0, &administrators))
        return FALSE;
    if (!CheckTokenMembership(NULL, administrators, &isMember))
        isMember = FALSE;
    FreeSid(administrators);
    return isMember;
}

void RunServiceDispatcher(void)
{
    LogMessage(LogLevelInformation, L"Starting QARLOV in service mode.");
    SERVICE_TABLE_ENTRYW services[] = {
        { (LPWSTR)QARLOV_SERVICE_NAME, ServiceMain },
        { NULL, NULL },
    };
    if (!StartServiceCtrlDispatcherW(services))
        LogMessage(LogLevelError, L"StartServiceCtrlDispatcher failed.");
}

int QarlovMain(int argumentCount, wchar_t** arguments)
{
    MonitorSettings = CreateMonitorSettings();
    DetectWindowsVersion();
    ShowBanner(argumentCount != 2);
    if (!IsUserAdministrator())
        LogMessage(LogLevelError, L"This application needs admin rights to start.");
    if (!IsAtLeastXP)
        LogMessage(LogLevelError, L"Minimum supported operating system is Windows XP.");
    if (IsConsoleMode())
        DispatchCommand(arguments[1]);
    else
        RunServiceDispatcher();
    return 0;
}
