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

// eventId: the entry's event id in the event log; 0 takes the one of its
// level.
static void LogEntry(LogLevel level, DWORD eventId, const wchar_t* format, va_list arguments)
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
        WriteEventLogEntry(text, level, eventId);
}

void LogMessage(LogLevel level, const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    LogEntry(level, 0, format, arguments);
    va_end(arguments);
}

void LogMessageWithEventId(LogLevel level, DWORD eventId, const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    LogEntry(level, eventId, format, arguments);
    va_end(arguments);
}

void LogError(const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    LogEntry(LogLevelError, 0, format, arguments);
    va_end(arguments);
    EndProcessAfterError();  // not reached: an error entry ends the process
}

// Drops the line breaks at the end of text.
static void TrimLineBreaks(wchar_t* text)
{
    size_t length = 0;
    StringCchLengthW(text, STRSAFE_MAX_CCH, &length);
    while (length > 0 && (text[length - 1] == L'\n' || text[length - 1] == L'\r'))
        text[--length] = L'\0';
}

// " -> " and the system's text for a non-zero last-error code, without the
// line break the system ends its texts with; nothing for 0.
static void AppendReason(wchar_t* line, size_t capacity, DWORD errorCode)
{
    if (errorCode == 0)
        return;
    wchar_t* systemText = NULL;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  NULL, errorCode, 0x400, (LPWSTR)&systemText, 0, NULL);
    if (length > 0 && systemText != NULL) {
        TrimLineBreaks(systemText);
        StringCchCatW(line, capacity, L" -> ");
        StringCchCatW(line, capacity, systemText);
    } else {
        wchar_t unknown[64];
        StringCchPrintfW(unknown, 64, L" -> System error %lu.", errorCode);
        StringCchCatW(line, capacity, unknown);
    }
    if (systemText != NULL)
        LocalFree(systemText);
}

// Warnings and errors (and entries of an unknown level) say why, as far as
// the thread's last-error code tells.
static BOOL CarriesReason(LogLevel level)
{
    return level != LogLevelInformation;
}

enum { LineCapacity = TextLimit + 1024 };

void WriteConsoleEntry(const wchar_t* text, LogLevel level)
{
    DWORD errorCode = GetLastError();
    SYSTEMTIME now;
    GetLocalTime(&now);

    // One write per entry, so that lines of different threads don't mix.
    wchar_t line[LineCapacity];
    StringCchPrintfW(line, LineCapacity, L"%02u/%02u/%02u %02u:%02u:%02u  %s  %s", now.wMonth, now.wDay,
                     now.wYear % 100, now.wHour, now.wMinute, now.wSecond, ConsoleLabel(level), text);
    if (CarriesReason(level))
        AppendReason(line, LineCapacity, errorCode);
    StringCchCatW(line, LineCapacity, L"\n");
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

// The entry's text with the same reason as the console line. The message
// table ends every entry with a line break of its own: one at the end of
// the text would show as an empty line.
void WriteEventLogEntry(const wchar_t* text, LogLevel level, DWORD eventId)
{
    DWORD errorCode = GetLastError();
    WORD type = EVENTLOG_WARNING_TYPE;
    DWORD levelEventId = (DWORD)QARLOV_EVENT_WARNING;
    if (level == LogLevelError) {
        type = EVENTLOG_ERROR_TYPE;
        levelEventId = (DWORD)QARLOV_EVENT_ERROR;
    } else if (level == LogLevelInformation) {
        type = EVENTLOG_INFORMATION_TYPE;
        levelEventId = (DWORD)QARLOV_EVENT_INFORMATION;
    }

    wchar_t entry[LineCapacity];
    StringCchCopyW(entry, LineCapacity, text);
    TrimLineBreaks(entry);
    if (CarriesReason(level))
        AppendReason(entry, LineCapacity, errorCode);
    HANDLE source = EventSource();
    if (source != NULL) {
        LPCWSTR strings[1] = { entry };
        ReportEventW(source, type, 0, eventId != 0 ? eventId : levelEventId, NULL, 1, 0, strings, NULL);
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
