/*
 * qplant.dll: stands in for a DLL that someone planted beside qarlov.exe
 * under the name of a system DLL (wtsapi32.dll, userenv.dll, ws2_32.dll).
 * It exports nothing. When a process loads it, it appends a line to the file
 * named by the environment variable QPLANT_MARKER, so that a test sees
 * whether it ran.
 */
#include <windows.h>

static void LeaveMark(void)
{
    wchar_t path[MAX_PATH + 1];
    DWORD length = GetEnvironmentVariableW(L"QPLANT_MARKER", path, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH)
        return;
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, "loaded\n", 7, &written, NULL);
    CloseHandle(file);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        LeaveMark();
    return TRUE;
}
