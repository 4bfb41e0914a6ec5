#include "core/log.h"
#include "core/entry.h"
#include "core/limits.h"
#include "core/runstate.h"
#include <stdarg.h>
#include <strsafe.h>

static const wchar_t* ConsoleLabel(LogLevel level)
{
    switch (level) {
    case LogLevelError:       return L"ERROR  ";
    case LogLevelWarning:     return L"WARNING";
    case LogLevelInformation: return L"       ";
    default:                  return L"UNKOWN ";
    }
}

// The end of every error entry: exit code 1, after the registered routine
// (the service's failure report) has run.
static void EndProcessAfterError(void)
{
    void (*routine)(void) = FatalErrorRoutine;
    if (routine != NULL)
        routine();
    ExitProcess(1);
}

static BOOL IsSuppressedInformation(LogLevel level)
{
    if (level != LogLevelInformation)
        return FALSE;
    MonitorSettingsRecord* settings = MonitorSettings;
    DWORD debugOutput = settings ? settings->DebugOutput : DebugOutputOfReleasedSettings;
    return debugOutput == 0;
}

void LogMessage(LogLevel level, const wchar_t* format, ...)
{
    if (IsSuppressedInformation(level))
        return;

    // The last-error code belongs to the caller's failed call: keep it
    // intact for the console tail.
    DWORD lastError = GetLastError();
    wchar_t text[TextLimit];
    va_list arguments;
    va_start(arguments, format);
    HRESULT formatted = StringCchVPrintfW(text, TextLimit, format, arguments);
    va_end(arguments);

    if (FAILED(formatted)) {
        if (IsConsoleMode()) {
            ConsoleWrite(L"WARNING: Could not format message [");
            ConsoleWrite(format);
            ConsoleWrite(L"].");
        }
        if (level == LogLevelError)
            EndProcessAfterError();
        return;
    }

    SetLastError(lastError);
    if (IsConsoleMode())
        WriteConsoleEntry(text, level);
    else
        WriteEventLogEntry(text, level);
}

// " -> " and the system's text for a non-zero last-error code, or a plain
// line break. The system text brings its own line break.
static void AppendErrorTail(wchar_t* line, size_t capacity, DWORD errorCode)
{
    if (errorCode == 0) {
        StringCchCatW(line, capacity, L"\n");
        return;
    }
    wchar_t* systemText = NULL;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  NULL, errorCode, 0x400, (LPWSTR)&systemText, 0, NULL);
    if (length > 0 && systemText != NULL) {
        StringCchCatW(line, capacity, L" -> ");
        StringCchCatW(line, capacity, systemText);
        if (systemText[length - 1] != L'\n')
            StringCchCatW(line, capacity, L"\n");
    } else {
        wchar_t unknown[64];
        StringCchPrintfW(unknown, 64, L" -> System error %lu.\n", errorCode);
        StringCchCatW(line, capacity, unknown);
    }
    if (systemText != NULL)
        LocalFree(systemText);
}

void WriteConsoleEntry(const wchar_t* text, LogLevel level)
{
    DWORD errorCode = GetLastError();
    SYSTEMTIME now;
    GetLocalTime(&now);

    // One write per entry, so that lines of different threads don't mix.
    enum { LineCapacity = TextLimit + 1024 };
    wchar_t line[LineCapacity];
    StringCchPrintfW(line, LineCapacity, L"%02u/%02u/%02u %02u:%02u:%02u  %s  %s", now.wMonth, now.wDay,
                     now.wYear % 100, now.wHour, now.wMinute, now.wSecond, ConsoleLabel(level), text);
    if (level == LogLevelInformation)
        StringCchCatW(line, LineCapacity, L"\n");
    else
        AppendErrorTail(line, LineCapacity, errorCode);
    ConsoleWrite(line);

    if (level == LogLevelError) {
        ConsoleWrite(L"\nProgram stopped.\n\n");
        EndProcessAfterError();
    }
}

static HANDLE EventSource(void)
{
    HANDLE source = EventSourceHandle;
    if (source != NULL)
        return source;
    source = RegisterEventSourceW(NULL, L"QARLOV");
    if (source == NULL)
        return NULL;
    // Another thread may have registered meanwhile: keep the first handle.
    HANDLE earlier = InterlockedCompareExchangePointer((PVOID volatile*)&EventSourceHandle, source, NULL);
    if (earlier != NULL) {
        DeregisterEventSource(source);
        return earlier;
    }
    return source;
}

void WriteEventLogEntry(const wchar_t* text, LogLevel level)
{
    WORD type = EVENTLOG_WARNING_TYPE;
    DWORD eventId = (DWORD)QARLOV_EVENT_WARNING;
    if (level == LogLevelError) {
        type = EVENTLOG_ERROR_TYPE;
        eventId = (DWORD)QARLOV_EVENT_ERROR;
    } else if (level == LogLevelInformation) {
        type = EVENTLOG_INFORMATION_TYPE;
        eventId = (DWORD)QARLOV_EVENT_INFORMATION;
    }

    HANDLE source = EventSource();
    if (source != NULL) {
        LPCWSTR strings[1] = { text };
        ReportEventW(source, type, 0, eventId, NULL, 1, 0, strings, NULL);
    }
    if (level == LogLevelError) {
        ReleaseGlobals();
        EndProcessAfterError();
    }
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
