// The process-wide state and the orderly stop.
//
// Threads:
//  - the main thread runs the entry; in service mode it runs the service
//    dispatcher and ServiceControlHandler;
//  - the watcher thread (the main thread in console mode, the service thread
//    in service mode) loads the settings and then does all reading, parsing,
//    actions and scan-position writes, one after the other;
//  - the system runs ConsoleControlHandler on a thread of its own.
//
// The threads meet only through ShutDownEvent and ServiceStatus. A stop
// signals ShutDownEvent and waits a bounded time for the watcher to close it
// and clear the handle. Only after that acknowledgement may the stop side
// release the globals: while the watcher (or the loading before it) still
// runs, the stop side ends the process instead, so no thread ever touches a
// released item.
#pragma once
#include <windows.h>
#include <winsvc.h>
#include "config/settings.h"
#include "monitor/logparser.h"

// Created first thing by the entry, filled by the loader; released by
// ReleaseGlobals.
extern MonitorSettingsRecord* volatile MonitorSettings;

// DebugOutput of the released settings, for entries logged after the
// release.
extern volatile DWORD DebugOutputOfReleasedSettings;

// The line being handled; set and freed per line by the watcher thread.
extern LogRecord* volatile CurrentRecord;

// Registered by the first event-log entry (any thread).
extern HANDLE volatile EventSourceHandle;

// Set by the Syslog action on the watcher thread once Windows Sockets runs.
extern volatile LONG WinsockStarted;

// Created by the watcher before it waits; closed and cleared by the watcher
// as its last act, which is its acknowledgement of a stop.
extern HANDLE volatile ShutDownEvent;

// Set by the watcher when it has acknowledged a stop and returned.
extern volatile LONG WatcherStopped;

// Service status; written by ServiceMain and ServiceControlHandler.
extern SERVICE_STATUS ServiceStatus;
extern SERVICE_STATUS_HANDLE ServiceStatusHandle;

// Set once by the Dialog action when no console session exists.
extern volatile LONG AutomaticMode;

// Platform flags, set once by DetectWindowsVersion before anything reads them.
extern BOOL IsAtLeastXP;
extern BOOL IsAtLeastWindows7;
extern BOOL IsWow64;

void ReleaseGlobals(void);
void FreeMonitorSettings(MonitorSettingsRecord* settings);

// Signals ShutDownEvent and waits up to 20 random intervals for the watcher
// to acknowledge. Returns TRUE when the watcher has returned, so that the
// globals may be released; FALSE when a thread may still use them.
BOOL WaitForWatcherRelease(void);

BOOL WINAPI ConsoleControlHandler(DWORD controlType);

// A random interval of 22 to 109 ms; fallback when no random number exists.
DWORD RandomWaitInterval(DWORD fallback);

// Called by a watcher at its end: closes ShutDownEvent, clears the handle
// and marks the watcher as stopped.
void AcknowledgeShutDown(void);

// Creates ShutDownEvent for a watcher; FALSE when it can't be created.
BOOL CreateShutDownEvent(void);

// The watchers' one wait: TRUE when change is signalled, FALSE when
// ShutDownEvent is. Other results are logged and the wait is repeated; a
// run of failed waits (a handle that became invalid) ends the program
// instead of spinning.
BOOL WaitForChangeOrShutDown(HANDLE change);
