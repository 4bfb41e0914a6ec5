// The Windows calls that tests stand in for, or that live in DLLs the
// program loads itself, reached through small tables. The tables hold the
// real calls unless a test replaces an entry; the product never changes them.
//
// wtsapi32, userenv and ws2_32 are not among the DLLs that Windows always
// takes from the system folder: imported by name, a copy planted beside
// qarlov.exe would run inside a service with LocalSystem rights. So they are
// not imported but loaded at first use by their full path in the system
// folder. A missing DLL or entry point makes the call fail with
// ERROR_MOD_NOT_FOUND or ERROR_PROC_NOT_FOUND as its last-error code.
#pragma once
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

typedef struct PlatformCalls {
    // WTSSendMessageW (wtsapi32)
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
    // WTSQueryUserToken (wtsapi32): the token of the user logged on in a
    // session; fails when nobody is.
    BOOL (WINAPI* QueryUserToken)(ULONG sessionId, PHANDLE token);
    // CreateEnvironmentBlock and DestroyEnvironmentBlock (userenv).
    BOOL (WINAPI* CreateEnvironmentBlock)(LPVOID* environment, HANDLE token, BOOL inherit);
    BOOL (WINAPI* DestroyEnvironmentBlock)(LPVOID environment);
} PlatformCalls;

extern PlatformCalls Platform;

// The Windows Sockets calls of the Syslog action and of the clean-up, from
// ws2_32 in the system folder. Filled by LoadWinsock; empty before.
typedef struct WinsockCalls {
    int (WINAPI* Startup)(WORD version, LPWSADATA data);
    int (WINAPI* Cleanup)(void);
    SOCKET (WINAPI* Socket)(int family, int type, int protocol);
    int (WINAPI* SendTo)(SOCKET socket, const char* buffer, int length, int flags, const struct sockaddr* to,
                         int toLength);
    int (WINAPI* CloseSocket)(SOCKET socket);
    // Name resolution (IPv4 and IPv6) and the TCP connection.
    int (WINAPI* GetAddrInfo)(const char* node, const char* service, const struct addrinfo* hints,
                              struct addrinfo** result);
    void (WINAPI* FreeAddrInfo)(struct addrinfo* list);
    int (WINAPI* Connect)(SOCKET socket, const struct sockaddr* name, int nameLength);
    int (WINAPI* Send)(SOCKET socket, const char* buffer, int length, int flags);
    int (WINAPI* Select)(int ignored, fd_set* readable, fd_set* writable, fd_set* failed,
                         const struct timeval* timeout);
    int (WINAPI* IoctlSocket)(SOCKET socket, long command, u_long* argument);
    int (WINAPI* GetSockOpt)(SOCKET socket, int level, int name, char* value, int* length);
    int (WINAPI* LastError)(void);  // WSAGetLastError
} WinsockCalls;

extern WinsockCalls Winsock;

// Fills Winsock once. FALSE, with the last-error code saying why, when the
// DLL or one of its calls is missing; a later call tries again.
BOOL LoadWinsock(void);

// WSACleanup, for the release of the run state once WinsockStarted is set.
void CleanupWinsock(void);
