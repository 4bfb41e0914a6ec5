// The orderly stop: how the threads meet, and the handshake between the
// stop side and the watcher.
//
// Threads:
//  - the main thread runs the entry; in service mode it runs the service
//    dispatcher and the service control handler;
//  - the watcher thread (the main thread in console mode, the service thread
//    in service mode) loads the settings and then does all reading, parsing,
//    actions and scan-position writes, one after the other;
//  - the system runs the console control handler on a thread of its own.
//
// The threads meet only through ShutDownEvent and the service status. A stop
// signals ShutDownEvent and waits a bounded time for the watcher to close it
// and clear the handle. Only after that acknowledgement may the stop side
// release the process-wide items (the settings, the record of the line in
// hand, Windows Sockets, the event source): while the watcher (or the
// loading before it) still runs, the stop side ends the process instead, so
// no thread ever touches a released item.
#pragma once
#include <windows.h>

// Created by the watcher thread before it waits; closed and cleared by the
// watcher thread as its last act, which is its acknowledgement of a stop.
extern HANDLE volatile ShutDownEvent;

// Set by the watcher thread when it has acknowledged a stop and returned.
extern volatile LONG WatcherStopped;

// Set by the stop side (any thread) right before it signals ShutDownEvent;
// read by the watcher thread between lines and by the waits of actions.
extern volatile LONG StopRequested;

// Signals ShutDownEvent and waits up to 20 random intervals for the watcher
// to acknowledge. Returns TRUE when the watcher has returned, so that the
// globals may be released; FALSE when a thread may still use them.
BOOL WaitForWatcherRelease(void);

// Repeats that handshake until the watcher acknowledges, or until about
// limit milliseconds have passed; betweenRounds (may be NULL) runs after
// each round that ended without an acknowledgement. A stop that comes
// before the watcher has created ShutDownEvent is not waited for.
BOOL WaitForWatcherReleaseWithin(DWORD limit, void (*betweenRounds)(void));

// Marks the stop as requested and signals ShutDownEvent (when it exists).
void RequestStop(void);

// TRUE once a stop has been requested: the watcher finishes the line in
// hand (its actions and its position save) and then returns.
BOOL IsStopRequested(void);

// The outcome of a wait that a stop request ends early.
typedef enum WaitOutcome {
    WaitSignalled,  // the object was signalled
    WaitTimedOut,   // the time ran out
    WaitStopped,    // a stop was requested first (it takes precedence)
    WaitFailed      // the wait itself failed; the last-error code says why
} WaitOutcome;

// Waits up to milliseconds (INFINITE allowed) for object, or only for the
// time when object is NULL, and ends early when a stop is requested. Used by
// every wait of the watcher thread that may take longer than a moment.
WaitOutcome WaitUnlessStopped(HANDLE object, DWORD milliseconds);

// A random interval of 22 to 109 ms; fallback when no random number exists.
DWORD RandomWaitInterval(DWORD fallback);

// Called by a watcher at its end: closes ShutDownEvent, clears the handle
// and marks the watcher as stopped.
void AcknowledgeShutDown(void);

// Creates ShutDownEvent for a watcher; FALSE when it can't be created.
BOOL CreateShutDownEvent(void);

// Closes a ShutDownEvent that is still open (the release after an error).
void CloseShutDownEvent(void);

// The watchers' one wait, up to milliseconds (INFINITE: no time-out):
// WaitStopped when a stop is requested (it wins over a signalled change),
// WaitSignalled when change is signalled, WaitTimedOut when the time ran
// out. Other results are logged and the wait is repeated; a run of failed
// waits (a handle that became invalid) ends the program instead of spinning.
WaitOutcome WaitForChangeOrShutDown(HANDLE change, DWORD milliseconds);
