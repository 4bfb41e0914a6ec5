#include "core/console.h"
#include "core/limits.h"
#include <limits.h>
#include <stdarg.h>
#include <strsafe.h>

// The console answer is asked once; -1 means not asked yet.
static volatile LONG ConsoleModeCache = -1;

BOOL IsConsoleMode(void)
{
    LONG cached = ConsoleModeCache;
    if (cached < 0) {
        cached = GetConsoleWindow() != NULL ? 1 : 0;
        ConsoleModeCache = cached;
    }
    return cached != 0;
}

void SetConsoleModeCache(BOOL consoleMode)
{
    ConsoleModeCache = consoleMode ? 1 : 0;
}

// Text with CR LF line ends into a new heap block of wide characters;
// returns its length, or 0 when the text is beyond all sense or no memory
// was left.
static size_t WithCarriageReturns(const wchar_t* text, size_t length, wchar_t** lines)
{
    *lines = length <= INT_MAX / 4 ? (wchar_t*)HeapAlloc(GetProcessHeap(), 0, length * 2 * sizeof(wchar_t)) : NULL;
    if (*lines == NULL)
        return 0;
    size_t count = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r'))
            (*lines)[count++] = L'\r';
        (*lines)[count++] = text[i];
    }
    return count;
}

// Redirected to a file or a pipe: text-mode bytes in the console's output
// code page, as console programs write them (in the ANSI code page when the
// process has no console); a character the code page lacks becomes its
// default character.
static void WriteRedirected(HANDLE output, const wchar_t* text, size_t length)
{
    wchar_t* lines = NULL;
    size_t count = WithCarriageReturns(text, length, &lines);
    UINT codePage = GetConsoleOutputCP();
    if (codePage == 0)
        codePage = CP_ACP;
    int size = count > 0 ? WideCharToMultiByte(codePage, 0, lines, (int)count, NULL, 0, NULL, NULL) : 0;
    char* bytes = size > 0 ? (char*)HeapAlloc(GetProcessHeap(), 0, (SIZE_T)size) : NULL;
    if (bytes != NULL) {
        DWORD written;
        size = WideCharToMultiByte(codePage, 0, lines, (int)count, bytes, size, NULL, NULL);
        WriteFile(output, bytes, (DWORD)size, &written, NULL);
        HeapFree(GetProcessHeap(), 0, bytes);
    }
    if (lines != NULL)
        HeapFree(GetProcessHeap(), 0, lines);
}

// A real console shows the characters themselves.
void ConsoleWrite(const wchar_t* text)
{
    DWORD savedError = GetLastError();
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    size_t length = 0;
    if (output != NULL && output != INVALID_HANDLE_VALUE &&
        SUCCEEDED(StringCchLengthW(text, STRSAFE_MAX_CCH, &length)) && length > 0) {
        DWORD mode, written;
        if (GetConsoleMode(output, &mode))
            WriteConsoleW(output, text, (DWORD)length, &written, NULL);
        else
            WriteRedirected(output, text, length);
    }
    SetLastError(savedError);
}

void ConsolePrint(const wchar_t* format, ...)
{
    wchar_t text[TextLimit];
    va_list arguments;
    va_start(arguments, format);
    StringCchVPrintfW(text, TextLimit, format, arguments);
    va_end(arguments);
    ConsoleWrite(text);
}
