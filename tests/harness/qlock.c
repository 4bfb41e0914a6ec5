/*
 * qlock.exe PATH MS
 *
 * Holds a file open with no sharing at all for MS milliseconds, the way a
 * backup or scanning tool may: every other opening of the file fails with a
 * sharing violation meanwhile. Prints "locked" when it holds the file and
 * "released" after closing it, each on its own line and flushed at once, so
 * that a test knows when the window opens and closes.
 * Exit code 0, or 3 when the file cannot be opened.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        fwprintf(stderr, L"usage: qlock.exe PATH MS\n");
        return 2;
    }
    DWORD holdMs = (DWORD)wcstoul(argv[2], NULL, 10);
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"qlock: cannot open %ls (error %lu)\n", argv[1], GetLastError());
        return 3;
    }
    wprintf(L"locked\n");
    fflush(stdout);
    Sleep(holdMs);
    CloseHandle(file);
    wprintf(L"released\n");
    fflush(stdout);
    return 0;
}
