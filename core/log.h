// The program's one way of reporting anything: LogMessage.
//
// With a console an entry becomes a time-stamped line on standard output;
// without one (service mode) it becomes an Application event-log entry of
// the source "QARLOV". An error entry ends the process with exit code 1 and
// never returns, so callers handle a failure no further after logging it.
#pragma once
#include <windows.h>

typedef WORD LogLevel;

enum {
    LogLevelError = 1,
    LogLevelWarning = 2,
    LogLevelInformation = 3
};

// Event ids of the message table carried by the executable.
#define QARLOV_EVENT_INFORMATION 0x40000001L
#define QARLOV_EVENT_WARNING     0x80000002L
#define QARLOV_EVENT_ERROR       0xC0000003L

void LogMessage(LogLevel level, const wchar_t* format, ...);

// Back ends; only LogMessage calls them.
void WriteConsoleEntry(const wchar_t* text, LogLevel level);
void WriteEventLogEntry(const wchar_t* text, LogLevel level);

// Console output of the program (banner, usage, rule summary, log lines).
// Each call writes straight to standard output, unbuffered, so output
// redirected to a file is complete even when the process is ended.
void ConsolePrint(const wchar_t* format, ...);
void ConsoleWrite(const wchar_t* text);
