// Facts about the machine and the process, found once at start: the Windows
// version, WOW64, administrator rights; and the banner.
#pragma once
#include <windows.h>

// Set once by DetectWindowsVersion (main thread, at start) before anything
// reads them.
extern BOOL IsAtLeastXP;
extern BOOL IsAtLeastWindows7;
extern BOOL IsWow64;

void DetectWindowsVersion(void);

BOOL IsUserAdministrator(void);

// With a console: the title, icon and banner; with showUsage also the usage
// text, after which the process ends with exit code 1. Without a console
// showUsage logs the usage text as an error entry, which ends the process.
void ShowBanner(BOOL showUsage);
