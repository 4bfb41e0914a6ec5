// The program's top: start-up, the command line, console mode and the
// release of the process-wide items. Everything below it is reached from
// here; nothing below calls up into it except through the routines it
// registers at start.
#pragma once
#include <windows.h>

// The process entry: start-up, checks, then service dispatcher or command;
// returns the exit code.
int QarlovMain(int argumentCount, wchar_t** arguments);

// Runs the command named by the single command-line argument; TRUE when
// the state the command is for holds afterwards (exit code 0), FALSE when
// it doesn't (exit code 1).
BOOL DispatchCommand(const wchar_t* argument);

// Releases every process-wide item (Windows Sockets, the event source, the
// settings, the record of the line in hand, ShutDownEvent). Each is taken
// out of its slot atomically, so that two stop paths that meet here release
// it exactly once.
void ReleaseGlobals(void);

// Console mode's handler of Ctrl-C, Ctrl-Break, a closed console, logoff
// and shutdown; the system runs it on a thread of its own.
BOOL WINAPI ConsoleControlHandler(DWORD controlType);
