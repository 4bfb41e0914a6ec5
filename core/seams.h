// The few Windows calls that Wine only stubs, reached through one table so
// that tests can stand in for them. The table holds the real calls unless a
// test replaces an entry; the product never changes it.
#pragma once
#include <windows.h>

typedef struct PlatformCalls {
    BOOL (WINAPI* SendMessageToSession)(HANDLE server, DWORD sessionId, LPWSTR title, DWORD titleLength,
                                        LPWSTR message, DWORD messageLength, DWORD style, DWORD timeout,
                                        DWORD* response, BOOL wait);
    HANDLE (WINAPI* OpenEventLog)(LPCWSTR server, LPCWSTR sourceName);
    BOOL (WINAPI* GetOldestEventLogRecord)(HANDLE eventLog, PDWORD oldestRecord);
    BOOL (WINAPI* GetNumberOfEventLogRecords)(HANDLE eventLog, PDWORD numberOfRecords);
    BOOL (WINAPI* ReadEventLog)(HANDLE eventLog, DWORD readFlags, DWORD recordOffset, LPVOID buffer,
                                DWORD bytesToRead, DWORD* bytesRead, DWORD* minBytesNeeded);
    BOOL (WINAPI* NotifyChangeEventLog)(HANDLE eventLog, HANDLE event);
    BOOL (WINAPI* CloseEventLog)(HANDLE eventLog);
    // The session of the physical console, 0xFFFFFFFF when there is none;
    // here so that tests can give that answer.
    DWORD (WINAPI* GetActiveConsoleSessionId)(void);
} PlatformCalls;

extern PlatformCalls Platform;
