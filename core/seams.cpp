#include "core/seams.h"
#include "core/limits.h"
#include <strsafe.h>

// A DLL of the system folder, loaded by its full path; its own imports are
// looked for beside it, not beside the program. NULL when it can't be
// loaded.
static HMODULE LoadSystemLibrary(const wchar_t* name)
{
    wchar_t path[PathLimit];
    UINT length = GetSystemDirectoryW(path, PathLimit);
    if (length == 0 || length >= PathLimit || FAILED(StringCchCatW(path, PathLimit, L"\\")) ||
        FAILED(StringCchCatW(path, PathLimit, name))) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return NULL;
    }
    return LoadLibraryExW(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}

template <typename Routine>
static BOOL LookUp(HMODULE module, const char* name, Routine* routine)
{
    *routine = (Routine)(void*)GetProcAddress(module, name);
    return *routine != NULL;
}

// An entry point of a system DLL, looked up at its first use and kept for
// the life of the process (the DLL is never unloaded). Two threads that
// resolve it at once find the same address.
typedef struct SystemProcedure {
    const wchar_t* Library;
    const char* Name;
    void* volatile Address;
} SystemProcedure;

template <typename Routine>
static Routine Resolve(SystemProcedure* procedure)
{
    Routine routine = (Routine)procedure->Address;
    if (routine != NULL)
        return routine;
    HMODULE module = LoadSystemLibrary(procedure->Library);
    if (module == NULL || !LookUp(module, procedure->Name, &routine)) {
        SetLastError(module == NULL ? ERROR_MOD_NOT_FOUND : ERROR_PROC_NOT_FOUND);
        return NULL;
    }
    procedure->Address = (void*)routine;
    return routine;
}

static SystemProcedure SendMessageProcedure = { L"wtsapi32.dll", "WTSSendMessageW", NULL };
static SystemProcedure QueryUserTokenProcedure = { L"wtsapi32.dll", "WTSQueryUserToken", NULL };
static SystemProcedure CreateEnvironmentProcedure = { L"userenv.dll", "CreateEnvironmentBlock", NULL };
static SystemProcedure DestroyEnvironmentProcedure = { L"userenv.dll", "DestroyEnvironmentBlock", NULL };

static BOOL WINAPI SystemSendMessageToSession(HANDLE server, DWORD sessionId, LPWSTR title, DWORD titleLength,
                                              LPWSTR message, DWORD messageLength, DWORD style, DWORD timeout,
                                              DWORD* response, BOOL wait)
{
    decltype(Platform.SendMessageToSession) routine =
        Resolve<decltype(Platform.SendMessageToSession)>(&SendMessageProcedure);
    return routine != NULL &&
           routine(server, sessionId, title, titleLength, message, messageLength, style, timeout, response, wait);
}

static BOOL WINAPI SystemQueryUserToken(ULONG sessionId, PHANDLE token)
{
    decltype(Platform.QueryUserToken) routine = Resolve<decltype(Platform.QueryUserToken)>(&QueryUserTokenProcedure);
    return routine != NULL && routine(sessionId, token);
}

static BOOL WINAPI SystemCreateEnvironmentBlock(LPVOID* environment, HANDLE token, BOOL inherit)
{
    decltype(Platform.CreateEnvironmentBlock) routine =
        Resolve<decltype(Platform.CreateEnvironmentBlock)>(&CreateEnvironmentProcedure);
    return routine != NULL && routine(environment, token, inherit);
}

static BOOL WINAPI SystemDestroyEnvironmentBlock(LPVOID environment)
{
    decltype(Platform.DestroyEnvironmentBlock) routine =
        Resolve<decltype(Platform.DestroyEnvironmentBlock)>(&DestroyEnvironmentProcedure);
    return routine != NULL && routine(environment);
}

PlatformCalls Platform = {
    SystemSendMessageToSession,
    OpenEventLogW,
    GetOldestEventLogRecord,
    GetNumberOfEventLogRecords,
    ReadEventLogW,
    NotifyChangeEventLog,
    CloseEventLog,
    WTSGetActiveConsoleSessionId,
    SystemQueryUserToken,
    SystemCreateEnvironmentBlock,
    SystemDestroyEnvironmentBlock,
};

WinsockCalls Winsock;

BOOL LoadWinsock(void)
{
    if (Winsock.Startup != NULL)
        return TRUE;
    HMODULE module = LoadSystemLibrary(L"ws2_32.dll");
    if (module == NULL) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    WinsockCalls calls;
    if (!LookUp(module, "WSAStartup", &calls.Startup) || !LookUp(module, "WSACleanup", &calls.Cleanup) ||
        !LookUp(module, "socket", &calls.Socket) || !LookUp(module, "sendto", &calls.SendTo) ||
        !LookUp(module, "closesocket", &calls.CloseSocket) || !LookUp(module, "getaddrinfo", &calls.GetAddrInfo) ||
        !LookUp(module, "freeaddrinfo", &calls.FreeAddrInfo) || !LookUp(module, "connect", &calls.Connect) ||
        !LookUp(module, "send", &calls.Send) || !LookUp(module, "select", &calls.Select) ||
        !LookUp(module, "ioctlsocket", &calls.IoctlSocket) || !LookUp(module, "getsockopt", &calls.GetSockOpt) ||
        !LookUp(module, "WSAGetLastError", &calls.LastError)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    Winsock = calls;
    return TRUE;
}

// WinsockStarted may also be set by a caller that started Windows Sockets
// itself (the tests do): the table is filled here if it isn't yet.
void CleanupWinsock(void)
{
    if (LoadWinsock())
        Winsock.Cleanup();
}
