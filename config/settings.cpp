#include "config/settings.h"
#include "config/strings.h"
#include "config/timestamp.h"
#include "core/console.h"
#include "core/limits.h"
#include "core/log.h"
#include "core/platform.h"
#include <stddef.h>
#include <stdlib.h>
#include <strsafe.h>

MonitorSettingsRecord* volatile MonitorSettings = NULL;

MonitorSettingsRecord* CreateMonitorSettings(void)
{
    MonitorSettingsRecord* settings = (MonitorSettingsRecord*)calloc(1, sizeof(MonitorSettingsRecord));
    if (settings == NULL)
        ExitProcess(1);
    settings->DebugOutput = 1;
    return settings;
}

void GetDirectory(wchar_t* destination, size_t capacity)
{
    MonitorSettingsRecord* settings = MonitorSettings;
    if (settings == NULL || settings->SEPLogDir == NULL) {
        LogError(L"Search directory not set in GetDirectory.");
        return;
    }
    if (destination == NULL || FAILED(StringCchCopyW(destination, capacity, settings->SEPLogDir)))
        LogError(L"Error copying the directory in GetDirectory.");
}

REGSAM ProgramKeyAccess(REGSAM access)
{
    return IsWow64 ? (access | KEY_WOW64_64KEY) : access;
}

// --- Reading the registry --------------------------------------------------
//
// The registry calls return their error instead of setting the thread's
// last error; it is set here so that the logged line names the reason.

// A text value offers 8192 bytes (4095 characters and the terminator) to the
// read, in a buffer of TextLimit characters.
enum { TextValueBytes = 8192 };

static HKEY OpenProgramKey(const wchar_t* path)
{
    HKEY key = NULL;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, ProgramKeyAccess(KEY_READ), &key);
    if (status != ERROR_SUCCESS) {
        SetLastError((DWORD)status);
        LogError(L"Error opening QARLOV registry key [\\HKLM\\%s]. Install QARLOV reg file properly.",
                 path);
    }
    return key;
}

// The antivirus product's keys, in the registry view of a 32-bit program.
static HKEY OpenSepKey(const wchar_t* path)
{
    HKEY key = NULL;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) {
        SetLastError((DWORD)status);
        LogError(L"Error opening SEP registry key [\\HKLM\\%s]. SEP not properly installed.", path);
    }
    return key;
}

static void ReportReadFailure(LSTATUS status, const wchar_t* name)
{
    SetLastError((DWORD)status);
    LogError(L"Error reading QARLOV registry entry [%s]. Install QARLOV reg file properly.", name);
}

// A number must be stored with its own type (REG_DWORD, or REG_QWORD for
// the offset): the bytes of a text or of binary data are no number, and
// reading them as one would hide the mistake.
static LSTATUS QueryFixedSizeValue(HKEY key, const wchar_t* name, DWORD expectedType, void* data, DWORD expectedSize)
{
    DWORD type = REG_NONE, size = expectedSize;
    LSTATUS status = RegQueryValueExW(key, name, NULL, &type, (BYTE*)data, &size);
    // A longer value answers ERROR_MORE_DATA, with its type filled in.
    if ((status == ERROR_SUCCESS || status == ERROR_MORE_DATA) && type != expectedType)
        status = ERROR_DATATYPE_MISMATCH;
    else if (status == ERROR_SUCCESS && size != expectedSize)
        status = ERROR_DATATYPE_MISMATCH;
    return status;
}

static LSTATUS QueryNumber(HKEY key, const wchar_t* name, DWORD* number)
{
    return QueryFixedSizeValue(key, name, REG_DWORD, number, sizeof(*number));
}

static DWORD ReadNumber(HKEY key, const wchar_t* name)
{
    DWORD number = 0;
    LSTATUS status = QueryNumber(key, name, &number);
    if (status != ERROR_SUCCESS)
        ReportReadFailure(status, name);
    return number;
}

// Queries a text value (REG_SZ, or REG_EXPAND_SZ taken as it is) into
// buffer (TextLimit characters). The read doesn't promise a terminator, so
// one is put after the bytes read; a failed read leaves the buffer empty.
static LSTATUS QueryText(HKEY key, const wchar_t* name, wchar_t* buffer)
{
    DWORD type = REG_NONE, size = TextValueBytes;
    LSTATUS status = RegQueryValueExW(key, name, NULL, &type, (BYTE*)buffer, &size);
    if ((status == ERROR_SUCCESS || status == ERROR_MORE_DATA) && type != REG_SZ && type != REG_EXPAND_SZ)
        status = ERROR_DATATYPE_MISMATCH;
    buffer[status == ERROR_SUCCESS ? size / sizeof(wchar_t) : 0] = L'\0';
    return status;
}

static void ReadText(HKEY key, const wchar_t* name, wchar_t* buffer)
{
    LSTATUS status = QueryText(key, name, buffer);
    if (status != ERROR_SUCCESS)
        ReportReadFailure(status, name);
}

static void ReadTextInto(HKEY key, const wchar_t* name, wchar_t* buffer, wchar_t** slot)
{
    ReadText(key, name, buffer);
    CopyAllocate(buffer, slot);
}

// An action text: each stored "{BR}" becomes a line feed.
static void ReadActionText(HKEY key, const wchar_t* name, wchar_t* buffer, wchar_t** slot)
{
    ReadText(key, name, buffer);
    Replace(buffer, L"{BR}", L"\n");
    CopyAllocate(buffer, slot);
}

// --- The loader --------------------------------------------------------------

// OFFSET and OFFSETCHECK are optional: a position stored without them (by
// an older version, or deleted to read a day again) is resumed by its time
// stamp alone.
static ULONGLONG ReadOptionalOffset(HKEY key)
{
    ULONGLONG offset = 0;
    LSTATUS status = QueryFixedSizeValue(key, L"OFFSET", REG_QWORD, &offset, sizeof(offset));
    // A longer REG_QWORD is no offset either.
    if (status == ERROR_DATATYPE_MISMATCH || status == ERROR_MORE_DATA)
        ReportReadFailure(ERROR_DATATYPE_MISMATCH, L"OFFSET");
    return status == ERROR_SUCCESS ? offset : 0;
}

// An optional number (DISABLED, OFFSETCHECK, the syslog options): an absent
// value counts as 0. One that is present but no REG_DWORD is a mistake worth
// naming, not a silent default.
static DWORD ReadOptionalNumber(HKEY key, const wchar_t* name)
{
    DWORD number = 0;
    LSTATUS status = QueryNumber(key, name, &number);
    if (status == ERROR_DATATYPE_MISMATCH)
        ReportReadFailure(status, name);
    return status == ERROR_SUCCESS ? number : 0;
}

// TRUE when a value of the scan position was read, FALSE when it is absent;
// one that is present but can't be read is an error, as any other value.
static BOOL IsPositionValuePresent(LSTATUS status, const wchar_t* name)
{
    if (status == ERROR_FILE_NOT_FOUND)
        return FALSE;
    if (status != ERROR_SUCCESS)
        ReportReadFailure(status, name);
    return TRUE;
}

// Without INSTANCE, TIMESTAMP or FILENAME (a fresh installation) there is no
// scan position: the three stay empty, TimeStamp null, and the watcher
// starts from now (see StartWithoutScanPosition).
static void LoadPositionOfLastLine(MonitorSettingsRecord* settings, HKEY key, wchar_t* buffer)
{
    BOOL complete = IsPositionValuePresent(QueryNumber(key, L"INSTANCE", &settings->Instance), L"INSTANCE");
    if (IsPositionValuePresent(QueryText(key, L"TIMESTAMP", buffer), L"TIMESTAMP"))
        CopyAllocate(buffer, &settings->TimeStamp);
    else
        complete = FALSE;
    if (IsPositionValuePresent(QueryText(key, L"FILENAME", buffer), L"FILENAME"))
        CopyAllocate(buffer, &settings->FileName);
    else
        complete = FALSE;
    if (complete) {
        ParseTimeStamp(settings->TimeStamp, &settings->TimeStampTime);
        return;
    }
    settings->Instance = 0;
    FreeText(&settings->TimeStamp);
    FreeText(&settings->FileName);
}

static void LoadScanPosition(MonitorSettingsRecord* settings, wchar_t* buffer)
{
    HKEY key = OpenProgramKey(QARLOV_KEY);
    LoadPositionOfLastLine(settings, key, buffer);
    settings->Offset = ReadOptionalOffset(key);
    settings->OffsetCheck = ReadOptionalNumber(key, L"OFFSETCHECK");
    settings->DebugOutput = ReadNumber(key, L"DEBUGOUTPUT");
    SetDebugOutput(settings->DebugOutput);
    RegCloseKey(key);
}

static void LoadSepPaths(MonitorSettingsRecord* settings, wchar_t* buffer)
{
    HKEY key = OpenSepKey(SEP_APPS_KEY);
    ReadText(key, L"SEPAppDataDir", buffer);
    if (FAILED(StringCchCatW(buffer, TextLimit, SEP_LOG_SUBDIRECTORY)))
        LogError(L"Error adding two string in LoadQARLOVRegistrySettings.");
    CopyAllocate(buffer, &settings->SEPLogDir);
    RegCloseKey(key);

    key = OpenSepKey(SAV_APPS_KEY);
    ReadTextInto(key, L"SAVCE", buffer, &settings->SEPBinPath);
    RegCloseKey(key);
}

static void LoadRule(MonitorSettingsRecord* settings)
{
    HKEY key = OpenProgramKey(QARLOV_RULE_KEY);
    settings->Cat = ReadNumber(key, L"CAT");
    settings->Event = ReadNumber(key, L"EVENT");
    settings->Logger = ReadNumber(key, L"LOGGER");
    settings->WaitBeforeAction = ReadNumber(key, L"WAITBEFOREACTION");
    settings->ActionStrategy = ReadNumber(key, L"ACTIONSTRATEGY");
    if (settings->ActionStrategy > 1)
        LogError(L"QARLOV registry entry for ActionStrategy must be 0 (handle all errors) or 1 "
                 L"(handle first error of scan).");
    settings->TriggerStrategy = ReadNumber(key, L"TRIGGERSTRATEGY");
    if (settings->TriggerStrategy > 1)
        LogError(L"QARLOV registry entry for TriggerStrategy must be 0 (watch log file) or 1 "
                 L"(watch windows event log).");
    RegCloseKey(key);
}

// Opens an optional action key. Returns a new all-zero record of the given
// size with the key open in *key, or null when the key is absent or its
// DISABLED value is nonzero.
static void* OpenActionKey(const wchar_t* path, size_t recordSize, HKEY* key)
{
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, ProgramKeyAccess(KEY_READ), key) != ERROR_SUCCESS)
        return NULL;
    DWORD disabled = ReadOptionalNumber(*key, L"DISABLED");
    if (disabled != 0) {
        RegCloseKey(*key);
        return NULL;
    }
    void* record = calloc(1, recordSize);
    if (record == NULL)
        LogError(L"Could not allocate buffer in LoadQARLOVRegistrySettings.");
    return record;
}

// The values of an action key, in the order they are read. An optional
// number that is absent counts as 0.
typedef enum ValueKind { NumberValue, OptionalNumberValue, TextValue, ActionTextValue } ValueKind;

typedef struct ActionValue {
    const wchar_t* Name;
    ValueKind Kind;
    size_t Offset;  // of the field in the action's record
} ActionValue;

typedef struct ActionLayout {
    const wchar_t* Key;
    size_t RecordSize;
    const ActionValue* Values;
    size_t Count;
} ActionLayout;

// The rows of the tables below: a value's name, its kind and its field.
#define NUMBER(record, field, name) { name, NumberValue, offsetof(record, field) }
#define OPTIONAL_NUMBER(record, field, name) { name, OptionalNumberValue, offsetof(record, field) }
#define STORED_TEXT(record, field, name) { name, TextValue, offsetof(record, field) }
#define ACTION_TEXT(record, field, name) { name, ActionTextValue, offsetof(record, field) }
static const ActionValue DialogValues[] = {
    ACTION_TEXT(DialogAction, Message, L"MESSAGE"), ACTION_TEXT(DialogAction, Title, L"TITLE"),
    NUMBER(DialogAction, WaitForDialog, L"WAITFORDIALOG"), NUMBER(DialogAction, WaitInSecs, L"WAITINSECS"),
};
static const ActionValue ExecuteValues[] = {
    ACTION_TEXT(ExecuteAction, CommandLine, L"COMMANDLINE"), NUMBER(ExecuteAction, WaitForProgram, L"WAITFORPROGRAM"),
    NUMBER(ExecuteAction, WaitInSecs, L"WAITINSECS"), NUMBER(ExecuteAction, UseSEPBinPath, L"USESEPBINPATH"),
    NUMBER(ExecuteAction, HideWindow, L"HIDEWINDOW"),
};
static const ActionValue SyslogValues[] = {
    NUMBER(SyslogAction, Facility, L"FACILITY"), ACTION_TEXT(SyslogAction, Message, L"MESSAGE"),
    STORED_TEXT(SyslogAction, ServerIP, L"SERVERIP"),  // taken as stored
    NUMBER(SyslogAction, ServerPort, L"SERVERPORT"), NUMBER(SyslogAction, Severity, L"SEVERITY"),
    OPTIONAL_NUMBER(SyslogAction, Format, L"FORMAT"), OPTIONAL_NUMBER(SyslogAction, Protocol, L"PROTOCOL"),
};
static const ActionValue MessageValues[] = {
    ACTION_TEXT(MessageAction, Message, L"MESSAGE"), OPTIONAL_NUMBER(MessageAction, EventId, L"EVENTID"),
};
#undef NUMBER
#undef OPTIONAL_NUMBER
#undef STORED_TEXT
#undef ACTION_TEXT

#define ACTION_LAYOUT(key, record, values) { key, sizeof(record), values, sizeof(values) / sizeof(values[0]) }
static const ActionLayout DialogLayout = ACTION_LAYOUT(QARLOV_DIALOG_KEY, DialogAction, DialogValues);
static const ActionLayout ExecuteLayout = ACTION_LAYOUT(QARLOV_EXECUTE_KEY, ExecuteAction, ExecuteValues);
static const ActionLayout SyslogLayout = ACTION_LAYOUT(QARLOV_SYSLOG_KEY, SyslogAction, SyslogValues);
static const ActionLayout MessageLayout = ACTION_LAYOUT(QARLOV_MESSAGE_KEY, MessageAction, MessageValues);

// Reads an optional action into *slot (left null when the action is absent
// or disabled). The record is in its slot before its values are read, so
// that a release after a failed read frees what was read.
static void LoadAction(const ActionLayout* layout, void** slot, wchar_t* buffer)
{
    HKEY key = NULL;
    BYTE* record = (BYTE*)OpenActionKey(layout->Key, layout->RecordSize, &key);
    if (record == NULL)
        return;
    *slot = record;
    for (size_t i = 0; i < layout->Count; ++i) {
        const ActionValue* value = &layout->Values[i];
        void* field = record + value->Offset;
        if (value->Kind == NumberValue)
            *(DWORD*)field = ReadNumber(key, value->Name);
        else if (value->Kind == OptionalNumberValue)
            *(DWORD*)field = ReadOptionalNumber(key, value->Name);
        else if (value->Kind == TextValue)
            ReadTextInto(key, value->Name, buffer, (wchar_t**)field);
        else
            ReadActionText(key, value->Name, buffer, (wchar_t**)field);
    }
    RegCloseKey(key);
}

// Releases an action's record with the texts it owns, and clears its slot.
static void FreeAction(const ActionLayout* layout, void** slot)
{
    BYTE* record = (BYTE*)*slot;
    if (record == NULL)
        return;
    for (size_t i = 0; i < layout->Count; ++i) {
        if (layout->Values[i].Kind == TextValue || layout->Values[i].Kind == ActionTextValue)
            FreeText((wchar_t**)(record + layout->Values[i].Offset));
    }
    free(record);
    *slot = NULL;
}

void FreeMonitorSettings(MonitorSettingsRecord* settings)
{
    if (settings == NULL)
        return;
    FreeText(&settings->FileName);
    FreeText(&settings->TimeStamp);
    FreeText(&settings->SEPLogDir);
    FreeText(&settings->SEPBinPath);
    FreeAction(&DialogLayout, (void**)&settings->Dialog);
    FreeAction(&ExecuteLayout, (void**)&settings->Execute);
    FreeAction(&SyslogLayout, (void**)&settings->Syslog);
    FreeAction(&MessageLayout, (void**)&settings->Message);
    free(settings);
}

void ReleaseMonitorSettings(void)
{
    MonitorSettingsRecord* settings =
        (MonitorSettingsRecord*)InterlockedExchangePointer((PVOID volatile*)&MonitorSettings, NULL);
    FreeMonitorSettings(settings);
}

static void CheckSyslogOptions(const SyslogAction* syslog)
{
    if (syslog == NULL)
        return;
    if (syslog->Format > SyslogFormatRfc5424)
        LogError(L"QARLOV registry entry for Syslog Format must be 0 (message only), 1 (RFC 3164) or 2 (RFC 5424).");
    if (syslog->Protocol > SyslogProtocolTcp)
        LogError(L"QARLOV registry entry for Syslog Protocol must be 0 (UDP) or 1 (TCP).");
}

static void CheckMessageEventId(const MessageAction* message)
{
    if (message != NULL && message->EventId != 0 && message->EventId != MessageEventIdWarning &&
        message->EventId != MessageEventIdDetection)
        LogError(L"QARLOV registry entry for Message EventId must be 2 (a warning like the others) or 100 "
                 L"(a detection).");
}

// Reads every setting in a fixed order; the first missing or invalid one
// ends the process with an error naming it.
void LoadQARLOVRegistrySettings(void)
{
    MonitorSettingsRecord* settings = MonitorSettings;
    wchar_t buffer[TextLimit];

    LoadScanPosition(settings, buffer);
    LoadSepPaths(settings, buffer);
    LoadRule(settings);
    LoadAction(&DialogLayout, (void**)&settings->Dialog, buffer);
    LoadAction(&ExecuteLayout, (void**)&settings->Execute, buffer);
    LoadAction(&SyslogLayout, (void**)&settings->Syslog, buffer);
    CheckSyslogOptions(settings->Syslog);
    LoadAction(&MessageLayout, (void**)&settings->Message, buffer);
    CheckMessageEventId(settings->Message);
    if (settings->Dialog == NULL && settings->Execute == NULL && settings->Syslog == NULL &&
        settings->Message == NULL)
        LogError(L"No action settings found in registry. Specify \"Dialog\", \"Execute\", \"Syslog\", or \"Message\".");
}

// --- Rule summary ----------------------------------------------------------------

static const wchar_t* FlagText(DWORD flag)
{
    return flag != 0 ? L"TRUE" : L"FALSE";
}

// The syslog options for the summary, as numbers like the other settings:
// nothing when both are at their defaults, so that the line stays as it
// always was.
static const wchar_t* SyslogOptionsText(const SyslogAction* syslog, wchar_t* text, size_t capacity)
{
    if (syslog->Format == SyslogFormatPlain && syslog->Protocol == SyslogProtocolUdp)
        return L"";
    if (FAILED(StringCchPrintfW(text, capacity, L", Format: %d, Protocol: %d", (int)syslog->Format,
                                (int)syslog->Protocol)))
        text[0] = L'\0';
    return text;
}

void PrintRuleSummary(void)
{
    if (!IsConsoleMode())
        return;
    const MonitorSettingsRecord* settings = MonitorSettings;
    wchar_t first[TextLimit], second[TextLimit];

    ConsolePrint(L"Action rule: Cat=%d, Event=%d, Logger=%d\nParameters:  WaitBeforeAction=%d, ActionStrategy=%d, "
                 L"TriggerStrategy=%d, DebugOutput=%d\n\n",
                 (int)settings->Cat, (int)settings->Event, (int)settings->Logger, (int)settings->WaitBeforeAction,
                 (int)settings->ActionStrategy, (int)settings->TriggerStrategy, (int)settings->DebugOutput);
    if (settings->Dialog != NULL) {
        const DialogAction* dialog = settings->Dialog;
        Abbrev(dialog->Title, 25, first);
        Abbrev(dialog->Message, 25, second);
        ConsolePrint(L"Dialog   [ Title: %s, Message: %s, Wait: %s, Time: %d ]\n", first, second,
                     FlagText(dialog->WaitForDialog), (int)dialog->WaitInSecs);
    }
    if (settings->Execute != NULL) {
        const ExecuteAction* execute = settings->Execute;
        Abbrev(execute->CommandLine, 50, first);
        ConsolePrint(L"Execute  [ %s, Wait: %s, Time:%d, UseSEPBinPath:%s HideWindow:%s ]\n", first,
                     FlagText(execute->WaitForProgram), (int)execute->WaitInSecs, FlagText(execute->UseSEPBinPath),
                     FlagText(execute->HideWindow));
    }
    if (settings->Syslog != NULL) {
        const SyslogAction* syslog = settings->Syslog;
        wchar_t options[64];
        Abbrev(syslog->Message, 50, first);
        Abbrev(syslog->ServerIP, 16, second);
        ConsolePrint(L"Syslog   [ %s, %s:%d, Facility: %d, Severity: %d%s ]\n\n", first, second,
                     (int)syslog->ServerPort, (int)syslog->Facility, (int)syslog->Severity,
                     SyslogOptionsText(syslog, options, ARRAYSIZE(options)));
    }
    if (settings->Message != NULL) {
        // The event id only when it is not the default, like the syslog options.
        Abbrev(settings->Message->Message, 70, first);
        if (settings->Message->EventId == MessageEventIdDetection)
            ConsolePrint(L"Message  [ %s, EventId: %d ]\n\n", first, (int)MessageEventIdDetection);
        else
            ConsolePrint(L"Message  [ %s ]\n\n", first);
    }
}
