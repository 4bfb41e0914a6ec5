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

// Event ids of the message table carried by the executable. The Event
// Viewer shows their low 16 bits: 1, 2, 3 and 100.
#define QARLOV_EVENT_INFORMATION 0x40000001L
#define QARLOV_EVENT_WARNING     0x80000002L
#define QARLOV_EVENT_ERROR       0xC0000003L
#define QARLOV_EVENT_DETECTION   0x80000064L  // a warning: the Message action's, when configured so

void LogMessage(LogLevel level, const wchar_t* format, ...);

// The same, under the given event id of the message table in the event log
// instead of the one of its level; the console line is LogMessage's.
void LogMessageWithEventId(LogLevel level, DWORD eventId, const wchar_t* format, ...);

// An error entry: logged as LogMessage does, then the process ends.
[[noreturn]] void LogError(const wchar_t* format, ...);

// The logger's copy of DebugOutput (0: information entries are dropped);
// 1 until the loader sets the configured value.
void SetDebugOutput(DWORD debugOutput);

// Run right before an error entry ends the process, once the entry is
// written. The program's top sets it once, first thing at start; NULL:
// nothing to run.
void SetFatalErrorRoutine(void (*routine)(void));

// Registered by the first event-log entry (any thread); closed at the
// release of the run state.
extern HANDLE volatile EventSourceHandle;
void CloseEventSource(void);

// Back ends; only LogMessage calls them.
void WriteConsoleEntry(const wchar_t* text, LogLevel level);
// eventId 0: the one of the entry's level.
void WriteEventLogEntry(const wchar_t* text, LogLevel level, DWORD eventId);
