#include "core/platform.h"
#include "core/console.h"
#include "core/log.h"

BOOL IsAtLeastXP = FALSE;
BOOL IsAtLeastWindows7 = FALSE;
BOOL IsWow64 = FALSE;

#define QARLOV_ICON_ID 102

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

// The usage text, every line ended by its line feed.
static const wchar_t UsageLines[] =
    L"Usage: QARLOV -IMP | -RMP | -IS | -RS | -SA | -SP | -I | -R | -CONSOLE\n\n"
    L"-IMP      Register this executable as a message provider in the registry.\n"
    L"-RMP      Remove message provider entries from the registry.\n"
    L"-IS       Register this application as a Windows autostart service.\n"
    L"-RS       Remove the service registration from the registry.\n"
    L"-SA       Start the service.\n"
    L"-SP       Stop the service.\n"
    L"-I        Install message provider and service and start the service.\n"
    L"-R        Stop the service and remove the message provider and service registrations.\n"
    L"-CONSOLE  Normal operation as console application.\n";

static void PrintUsage(void)
{
    ConsoleWrite(L"\n");
    ConsoleWrite(UsageLines);
    ConsoleWrite(L"\n\nProgram stopped.\n\n");
}

void ShowBanner(BOOL showUsage)
{
    if (!IsConsoleMode()) {
        // Nobody sees a banner: the usage text goes to the event log as the
        // error that ends the run.
        if (showUsage)
            LogError(L"%s", UsageLines);
        return;
    }
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

