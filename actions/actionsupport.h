// Pieces shared by the actions, and the parts of the Execute and Syslog
// actions that can be checked without starting a process or sending.
#pragma once
#include <windows.h>
#include "config/settings.h"
#include "core/limits.h"

// A configured text or log field that is absent counts as empty.
inline const wchar_t* TextOrEmpty(const wchar_t* text)
{
    return text != NULL ? text : L"";
}

// Copies source into text (TextLimit characters) and fills in the
// placeholders. A source that doesn't fit logs copyFailure as an error.
// Returns TRUE when the values of the log line didn't fit and the text was
// cut (see ReportCutText).
BOOL CopyAndExpand(const wchar_t* source, wchar_t* text, const wchar_t* copyFailure);

// The one warning for an action whose text was cut; actionName as the
// administrator knows it ("Dialog", "Syslog", "Message").
void ReportCutText(const wchar_t* actionName);

typedef enum CommandLineStatus {
    CommandLineReady,
    CommandLineTooLong,       // the values of the log line don't fit in 8191 characters
    CommandLineUnsafeForBatch // a value holds a character the batch file's interpreter acts on
} CommandLineStatus;

// The command line of the external program, placeholders filled in, into
// commandLine (TextLimit characters). With UseSEPBinPath the program path
// (sepBinPath joined with the first item of the configured command line) is
// quoted; otherwise the configured command line is taken as it is. Each
// value of the log line reaches the program as one argument, exactly (see
// execute.cpp); only a ready command line may be started.
CommandLineStatus BuildProgramCommandLine(const ExecuteAction* action, const wchar_t* sepBinPath,
                                          wchar_t* commandLine);

// The start-up record of the external program: on the interactive desktop,
// with a hidden window when hideWindow is set.
void PrepareStartupInfo(BOOL hideWindow, STARTUPINFOW* startup);

// Text to bytes of codePage (the program passes CP_ACP, the system's ANSI
// code page), terminated, with their count (terminator excluded) in count.
// A character the code page lacks becomes "?", one of U+0080 to U+00FF the
// byte of the same value, so that a log field comes back as the bytes it
// was read from. capacity counts bytes, terminator included. Returns FALSE
// when the text didn't fit and was cut before the first character that
// didn't.
BOOL NarrowToBytes(UINT codePage, const wchar_t* text, char* bytes, size_t capacity, size_t* count);

// The syslog datagram "<PRI>message" into payload (TextLimit bytes), in the
// system's ANSI code page; returns its length in bytes. The terminating zero
// byte is not part of it. A message that the log line's values make too
// long is cut, with a warning.
int BuildSyslogPayload(const SyslogAction* syslog, char* payload);

// Where and when a formatted syslog message (FORMAT 1 or 2) comes from.
typedef struct SyslogOrigin {
    SYSTEMTIME LocalTime;   // milliseconds included
    LONG UtcOffsetMinutes;  // local time minus UTC: positive east of Greenwich
    const wchar_t* HostName;
    DWORD ProcessId;
} SyslogOrigin;

// The text of a formatted syslog message into text (TextLimit characters):
// FORMAT 1 "<PRI>Mmm dd hh:mm:ss HOST QARLOV[pid]: message"; FORMAT 2 the
// RFC 5424 header, the structured data with the values of the line being
// handled (CurrentRecord), U+FEFF (the byte-order mark once in UTF-8) and
// the message. Returns TRUE when the text was cut to fit; the structured
// data stays well-formed then.
BOOL ComposeSyslogText(DWORD format, int priority, const SyslogOrigin* origin, const wchar_t* message,
                       wchar_t* text);

// Room for a syslog message in bytes: 8191 characters, each at most three
// bytes in UTF-8.
enum { SyslogPayloadLimit = 3 * TextLimit };

// The formatted syslog message (FORMAT 1 or 2) into payload
// (SyslogPayloadLimit bytes); returns its length in bytes. FORMAT 1 takes
// one byte per character as FORMAT 0 does, FORMAT 2 is UTF-8.
int BuildFormattedSyslogPayload(const SyslogAction* syslog, const SyslogOrigin* origin, char* payload);
