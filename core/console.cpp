#include "core/console.h"
#include "core/limits.h"
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

void ConsoleWrite(const wchar_t* text)
{
    DWORD savedError = GetLastError();
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    size_t length = 0;
    if (output != NULL && output != INVALID_HANDLE_VALUE &&
        SUCCEEDED(StringCchLengthW(text, STRSAFE_MAX_CCH, &length)) && length > 0) {
        DWORD mode, written;
        if (GetConsoleMode(output, &mode)) {
            WriteConsoleW(output, text, (DWORD)length, &written, NULL);
        } else {
            // Redirected: text-mode bytes, one byte per character up to
            // U+00FF (the antivirus log's own bytes come back unchanged).
            char* bytes = (char*)HeapAlloc(GetProcessHeap(), 0, length * 2);
            if (bytes != NULL) {
                size_t count = 0;
                for (size_t i = 0; i < length; ++i) {
                    wchar_t c = text[i];
                    if (c == L'\n' && (i == 0 || text[i - 1] != L'\r'))
                        bytes[count++] = '\r';
                    bytes[count++] = c <= 0xFF ? (char)c : '?';
                }
                WriteFile(output, bytes, (DWORD)count, &written, NULL);
                HeapFree(GetProcessHeap(), 0, bytes);
            }
        }
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
