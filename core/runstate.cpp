#include "core/runstate.h"
#include "core/log.h"
#include <stdlib.h>

HANDLE volatile ShutDownEvent = NULL;
volatile LONG WatcherStopped = 0;
volatile LONG StopRequested = 0;

DWORD RandomWaitInterval(DWORD fallback)
{
    unsigned int random = 0;
    if (rand_s(&random) != 0)
        return fallback;
    return (DWORD)(((unsigned long long)random * 88) >> 32) + 22;
}

BOOL CreateShutDownEvent(void)
{
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (event == NULL)
        return FALSE;
    ShutDownEvent = event;
    return TRUE;
}

void CloseShutDownEvent(void)
{
    HANDLE event = InterlockedExchangePointer((PVOID volatile*)&ShutDownEvent, NULL);
    if (event != NULL)
        CloseHandle(event);
}

void AcknowledgeShutDown(void)
{
    HANDLE event = ShutDownEvent;
    if (event != NULL)
        CloseHandle(event);
    WatcherStopped = 1;
    ShutDownEvent = NULL;  // last act: the stop side waits for this
}

WaitOutcome WaitForChangeOrShutDown(HANDLE change, DWORD milliseconds)
{
    enum { MaxFailedWaits = 10 };
    int failedWaits = 0;
    for (;;) {
        WaitOutcome outcome = WaitUnlessStopped(change, milliseconds);
        if (outcome == WaitTimedOut && milliseconds == INFINITE) {
            failedWaits = 0;
            LogMessage(LogLevelWarning, L"No changes in the timeout period - but timeout happened unexpected.");
            continue;
        }
        if (outcome != WaitFailed)
            return outcome;
        LogMessage(LogLevelWarning, L"Unhandled dwWaitStatus.");
        if (++failedWaits >= MaxFailedWaits)
            LogError(L"Waiting for changes failed repeatedly. QARLOV stops.");
    }
}

void RequestStop(void)
{
    InterlockedExchange(&StopRequested, 1);
    HANDLE event = ShutDownEvent;
    if (event != NULL)
        SetEvent(event);
}

BOOL IsStopRequested(void)
{
    return StopRequested != 0;
}

WaitOutcome WaitUnlessStopped(HANDLE object, DWORD milliseconds)
{
    if (IsStopRequested())
        return WaitStopped;
    // The stop event comes first: WaitForMultipleObjects reports the lowest
    // signalled index, so a stop is seen even while object stays signalled.
    HANDLE handles[2];
    DWORD count = 0;
    HANDLE stopEvent = ShutDownEvent;
    if (stopEvent != NULL)
        handles[count++] = stopEvent;
    if (object != NULL)
        handles[count++] = object;
    if (count == 0) {
        Sleep(milliseconds);
        return IsStopRequested() ? WaitStopped : WaitTimedOut;
    }
    DWORD status = WaitForMultipleObjects(count, handles, FALSE, milliseconds);
    if (status == WAIT_TIMEOUT)
        return WaitTimedOut;
    if (status >= WAIT_OBJECT_0 && status < WAIT_OBJECT_0 + count) {
        if (stopEvent != NULL && status == WAIT_OBJECT_0)
            return WaitStopped;
        return WaitSignalled;
    }
    return WaitFailed;
}

BOOL WaitForWatcherRelease(void)
{
    RequestStop();
    if (ShutDownEvent == NULL)
        return WatcherStopped != 0;
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (ShutDownEvent == NULL)
            break;
        Sleep(RandomWaitInterval(71));
    }
    return ShutDownEvent == NULL;
}

BOOL WaitForWatcherReleaseWithin(DWORD limit, void (*betweenRounds)(void))
{
    DWORD started = GetTickCount();
    for (;;) {
        if (WaitForWatcherRelease())
            return TRUE;
        if (ShutDownEvent == NULL || GetTickCount() - started >= limit)
            return FALSE;  // still loading, or stuck for good
        if (betweenRounds != NULL)
            betweenRounds();
    }
}
