#include "core/log.h"
#include "core/limits.h"
#include "core/console.h"
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

HANDLE volatile EventSourceHandle = NULL;
static volatile DWORD DebugOutput = 1;
static void (*volatile FatalErrorRoutine)(void) = NULL;

void SetDebugOutput(DWORD debugOutput)
{
    DebugOutput = debugOutput;
}

void SetFatalErrorRoutine(void (*routine)(void))
{
    FatalErrorRoutine = routine;
}

// The end of every error entry: exit code 1, after the registered routine
// has run.
[[noreturn]] static void EndProcessAfterError(void)
{
    void (*routine)(void) = FatalErrorRoutine;
    if (routine != NULL)
        routine();
    ExitProcess(1);
}

static BOOL IsSuppressedInformation(LogLevel level)
{
    return level == LogLevelInformation && DebugOutput == 0;
}

static void LogEntry(LogLevel level, const wchar_t* format, va_list arguments)
{
    if (IsSuppressedInformation(level))
        return;

    // The last-error code belongs to the caller's failed call: keep it
    // intact for the console tail.
    DWORD lastError = GetLastError();
    wchar_t text[TextLimit];
    HRESULT formatted = StringCchVPrintfW(text, TextLimit, format, arguments);

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

void LogMessage(LogLevel level, const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    LogEntry(level, format, arguments);
    va_end(arguments);
}

void LogError(const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    LogEntry(LogLevelError, format, arguments);
    va_end(arguments);
    EndProcessAfterError();  // not reached: an error entry ends the process
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
    if (level == LogLevelError)
        EndProcessAfterError();
}

void CloseEventSource(void)
{
    HANDLE source = InterlockedExchangePointer((PVOID volatile*)&EventSourceHandle, NULL);
    if (source != NULL)
        DeregisterEventSource(source);
}
