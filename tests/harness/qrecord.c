/*
 * qrecord.exe: a program for the Execute action's tests to start. It appends
 * its whole command line (GetCommandLineW, so the quoting is visible) and a
 * line feed, UTF-8, to the file named by the environment variable
 * QRECORD_FILE, or to C:\qrecord.log when that is unset, and exits with 0.
 * With the argument pair "--sleep MS" anywhere it first sleeps that long,
 * which lets a test see whether its starter waited. With the argument
 * "--argv" anywhere it appends a second line: "ARGV", then each argument as
 * CommandLineToArgvW splits the command line, each after a U+001F, so a test
 * sees exactly which arguments the program got.
 */
#include <windows.h>
#include <shellapi.h>
#include <stdlib.h>
#include <wchar.h>

static DWORD RequestedSleep(int argc, wchar_t** argv)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (wcscmp(argv[i], L"--sleep") == 0)
            return (DWORD)wcstoul(argv[i + 1], NULL, 10);
    }
    return 0;
}

static void RecordFilePath(wchar_t* path, DWORD capacity)
{
    DWORD length = GetEnvironmentVariableW(L"QRECORD_FILE", path, capacity);
    if (length == 0 || length >= capacity)
        lstrcpynW(path, L"C:\\qrecord.log", (int)capacity);
}

/* Opens for appending; retries a while if another writer holds the file. */
static HANDLE OpenForAppend(const wchar_t* path)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION)
            return file;
        Sleep(20);
    }
    return INVALID_HANDLE_VALUE;
}

static BOOL AppendLine(const wchar_t* path, const wchar_t* text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    if (size <= 0)
        return FALSE;
    char* bytes = (char*)HeapAlloc(GetProcessHeap(), 0, (SIZE_T)size + 1);
    if (bytes == NULL)
        return FALSE;
    WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, size, NULL, NULL);
    bytes[size - 1] = '\n'; /* replaces the terminator: one write per line */

    BOOL ok = FALSE;
    HANDLE file = OpenForAppend(path);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        ok = WriteFile(file, bytes, (DWORD)size, &written, NULL) && written == (DWORD)size;
        CloseHandle(file);
    }
    HeapFree(GetProcessHeap(), 0, bytes);
    return ok;
}

static BOOL HasArgument(int argc, wchar_t** argv, const wchar_t* argument)
{
    for (int i = 1; i < argc; ++i) {
        if (wcscmp(argv[i], argument) == 0)
            return TRUE;
    }
    return FALSE;
}

/* "ARGV" and each argument after the program, each behind a U+001F. */
static BOOL AppendArguments(const wchar_t* path)
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == NULL)
        return FALSE;
    size_t length = 5;
    for (int i = 1; i < count; ++i)
        length += 1 + wcslen(arguments[i]);
    wchar_t* line = (wchar_t*)HeapAlloc(GetProcessHeap(), 0, length * sizeof(wchar_t));
    BOOL ok = line != NULL;
    if (ok) {
        lstrcpyW(line, L"ARGV");
        for (int i = 1; i < count; ++i) {
            lstrcatW(line, L"\x1f");
            lstrcatW(line, arguments[i]);
        }
        ok = AppendLine(path, line);
        HeapFree(GetProcessHeap(), 0, line);
    }
    LocalFree(arguments);
    return ok;
}

int wmain(int argc, wchar_t** argv)
{
    DWORD sleepMs = RequestedSleep(argc, argv);
    if (sleepMs > 0)
        Sleep(sleepMs);
    wchar_t path[MAX_PATH + 1];
    RecordFilePath(path, MAX_PATH + 1);
    if (!AppendLine(path, GetCommandLineW()))
        return 1;
    if (HasArgument(argc, argv, L"--argv") && !AppendArguments(path))
        return 1;
    return 0;
}
