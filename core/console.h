// The console: whether the process has one, and the program's output to it.
#pragma once
#include <windows.h>

// TRUE when the process has a console window. The first call asks the
// system; the answer is kept for the life of the process.
BOOL IsConsoleMode(void);

// Sets the cached console answer as if the system had given it: for a
// console the program opened itself, and for tests.
void SetConsoleModeCache(BOOL consoleMode);

// Console output of the program (banner, usage, rule summary, log lines).
// Each call writes straight to standard output, unbuffered, so output
// redirected to a file is complete even when the process is ended.
void ConsolePrint(const wchar_t* format, ...);
void ConsoleWrite(const wchar_t* text);
