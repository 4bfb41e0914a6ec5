// The settings record and its loader.
//
// All configuration lives below HKEY_LOCAL_MACHINE\SOFTWARE\kestu\QARLOV and
// is read once per process, before the watcher starts. Afterwards only the
// scan position fields (Instance, TimeStamp, TimeStampTime, Offset,
// OffsetCheck) and FileName change, and only on the watcher thread.
#pragma once
#include <windows.h>

#define QARLOV_KEY           L"SOFTWARE\\kestu\\QARLOV"
#define QARLOV_RULE_KEY      L"SOFTWARE\\kestu\\QARLOV\\Rule"
#define QARLOV_DIALOG_KEY    L"SOFTWARE\\kestu\\QARLOV\\Rule\\Dialog"
#define QARLOV_EXECUTE_KEY   L"SOFTWARE\\kestu\\QARLOV\\Rule\\Execute"
#define QARLOV_SYSLOG_KEY    L"SOFTWARE\\kestu\\QARLOV\\Rule\\Syslog"
#define QARLOV_MESSAGE_KEY   L"SOFTWARE\\kestu\\QARLOV\\Rule\\Message"
#define SEP_APPS_KEY         L"SOFTWARE\\Symantec\\Symantec Endpoint Protection\\InstalledApps"
#define SAV_APPS_KEY         L"SOFTWARE\\Symantec\\InstalledApps"
#define SEP_LOG_SUBDIRECTORY L"Data\\Logs\\AV\\"

typedef struct DialogAction {
    wchar_t* Message;
    wchar_t* Title;
    DWORD WaitForDialog;  // nonzero: wait for the user's answer
    DWORD WaitInSecs;     // message box time-out in seconds
} DialogAction;

typedef struct ExecuteAction {
    wchar_t* CommandLine;
    DWORD WaitForProgram;
    DWORD WaitInSecs;     // handed to the wait as milliseconds, as stored
    DWORD UseSEPBinPath;
    DWORD HideWindow;
} ExecuteAction;

// What a syslog message looks like on the wire (FORMAT), and how it
// travels (PROTOCOL). Both are optional; 0 is the plain "<PRI>message" over
// UDP.
typedef enum SyslogFormat { SyslogFormatPlain, SyslogFormatRfc3164, SyslogFormatRfc5424 } SyslogFormat;
typedef enum SyslogProtocol { SyslogProtocolUdp, SyslogProtocolTcp } SyslogProtocol;

typedef struct SyslogAction {
    DWORD Facility;
    DWORD Severity;
    wchar_t* ServerIP;    // IPv4 or IPv6 address, or a host name
    DWORD ServerPort;     // low 16 bits are the port
    wchar_t* Message;
    DWORD Format;         // a SyslogFormat
    DWORD Protocol;       // a SyslogProtocol
} SyslogAction;

// The event id of the Message action's entries in the event log (EVENTID,
// optional): 2 as every other warning, or 100 so that event collectors can
// tell detections from the program's own faults. 0 (absent) is 2.
enum { MessageEventIdWarning = 2, MessageEventIdDetection = 100 };

typedef struct MessageAction {
    wchar_t* Message;
    DWORD EventId;
} MessageAction;

typedef struct MonitorSettingsRecord {
    wchar_t* FileName;          // day file the scan position refers to
    DWORD Instance;             // scan position: ordinal within TimeStamp
    wchar_t* TimeStamp;         // scan position: 12 hexadecimal digits; null: no position stored yet
    SYSTEMTIME TimeStampTime;   // TimeStamp decoded
    ULONGLONG Offset;           // scan position: FileName decoded up to here (0: not known)
    DWORD OffsetCheck;          // ties Offset to the file's bytes before it
    DWORD DebugOutput;          // nonzero: information entries are logged
    DWORD WaitBeforeAction;     // milliseconds before each reading
    DWORD ActionStrategy;       // 0 every new line, 1 first of each scan
    DWORD TriggerStrategy;      // 0 log folder, 1 event log
    wchar_t* SEPLogDir;         // always ends in a backslash
    wchar_t* SEPBinPath;
    DWORD Cat;
    DWORD Event;
    DWORD Logger;
    DialogAction* Dialog;       // each action is null when absent
    ExecuteAction* Execute;
    SyslogAction* Syslog;
    MessageAction* Message;
} MonitorSettingsRecord;

// The settings of the process: created first thing by the entry, filled by
// the loader on the watcher thread, released at the stop (any thread).
extern MonitorSettingsRecord* volatile MonitorSettings;

// A new, all-zero record with DebugOutput 1.
MonitorSettingsRecord* CreateMonitorSettings(void);
void FreeMonitorSettings(MonitorSettingsRecord* settings);

// Takes MonitorSettings out of its slot and frees it (once, whichever stop
// path comes first).
void ReleaseMonitorSettings(void);

// Copies the antivirus log directory of the settings into destination.
void GetDirectory(wchar_t* destination, size_t capacity);

// Access mask for the program's own keys: the 64-bit registry view is used
// on 64-bit Windows. The antivirus product's keys are opened without it.
REGSAM ProgramKeyAccess(REGSAM access);

void LoadQARLOVRegistrySettings(void);
void PrintRuleSummary(void);
