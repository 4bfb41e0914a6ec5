// Process entry and command dispatch.
#pragma once
#include <windows.h>

void DetectWindowsVersion(void);
void ShowBanner(BOOL showUsage);

// TRUE when the process has a console window. The first call asks the
// system; the answer is kept for the life of the process.
BOOL IsConsoleMode(void);
BOOL IsUserAdministrator(void);

// The process entry: start-up, checks, then service dispatcher or command.
int QarlovMain(int argumentCount, wchar_t** arguments);

// Runs the configured watcher until a stop request.
void RunWatcher(void);

void RunServiceDispatcher(void);

// Runs the command named by the single command-line argument.
void DispatchCommand(const wchar_t* argument);

// Tests only: sets the cached console answer as if the system had given it.
void SetConsoleModeCache(BOOL consoleMode);
