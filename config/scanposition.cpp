#include "config/scanposition.h"
#include "config/settings.h"
#include "config/strings.h"
#include "config/timestamp.h"
#include "core/limits.h"
#include "core/log.h"
#include <strsafe.h>
#include <wctype.h>

static void ReportSetFailure(LSTATUS status, const wchar_t* name)
{
    SetLastError((DWORD)status);
    LogError(L"Error setting QARLOV registry entry [%s]. Install QARLOV reg file properly.", name);
}

static void SetNumberValue(HKEY key, const wchar_t* name, DWORD number)
{
    LSTATUS status = RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE*)&number, sizeof(number));
    if (status != ERROR_SUCCESS)
        ReportSetFailure(status, name);
}

// Stored with its terminator. A text that was never set is stored empty.
static void SetTextValue(HKEY key, const wchar_t* name, const wchar_t* text)
{
    size_t length = 0;
    if (text == NULL)
        text = L"";
    if (FAILED(StringCchLengthW(text, TextLimit, &length))) {
        ReportSetFailure(ERROR_SUCCESS, name);
        return;
    }
    LSTATUS status =
        RegSetValueExW(key, name, 0, REG_SZ, (const BYTE*)text, (DWORD)((length + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS)
        ReportSetFailure(status, name);
}

// The new position as one value, written before the three values and deleted
// after them: a process ended between those writes leaves it for the next
// start, which completes the save. A multi-string: the time-stamp text, the
// instance in decimal, the file name.
static const wchar_t PendingPositionName[] = L"PENDINGPOSITION";
enum { InstanceDigits = 11, PendingPositionCapacity = TimeStampCapacity + InstanceDigits + PathLimit + 1 };

// Appends text and its terminator at *used; FALSE when it doesn't fit.
static BOOL AppendString(wchar_t* buffer, size_t* used, const wchar_t* text)
{
    size_t length = 0;
    if (FAILED(StringCchCopyW(buffer + *used, PendingPositionCapacity - *used, text)) ||
        FAILED(StringCchLengthW(buffer + *used, PendingPositionCapacity - *used, &length)))
        return FALSE;
    *used += length + 1;
    return TRUE;
}

static void SetPendingPosition(HKEY key, const MonitorSettingsRecord* settings)
{
    wchar_t value[PendingPositionCapacity];
    wchar_t instance[InstanceDigits];
    size_t used = 0;
    StringCchPrintfW(instance, InstanceDigits, L"%lu", (unsigned long)settings->Instance);
    if (!AppendString(value, &used, settings->TimeStamp) || !AppendString(value, &used, instance) ||
        !AppendString(value, &used, settings->FileName != NULL ? settings->FileName : L"") ||
        used >= PendingPositionCapacity) {
        ReportSetFailure(ERROR_SUCCESS, PendingPositionName);
        return;
    }
    value[used++] = L'\0';
    LSTATUS status =
        RegSetValueExW(key, PendingPositionName, 0, REG_MULTI_SZ, (const BYTE*)value, (DWORD)(used * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS)
        ReportSetFailure(status, PendingPositionName);
}

static void DeletePendingPosition(HKEY key)
{
    LSTATUS status = RegDeleteValueW(key, PendingPositionName);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        ReportSetFailure(status, PendingPositionName);
}

// The position changes in memory first; it is then written to the view the
// settings are read from: as one pending value, as the three values one by
// one, and the pending value is deleted.
void SaveScanPosition(DWORD instance, const SYSTEMTIME* time)
{
    MonitorSettingsRecord* settings = MonitorSettings;
    wchar_t timeStamp[TimeStampCapacity];

    settings->Instance = instance;
    FreeText(&settings->TimeStamp);
    FormatTimeStamp(time, timeStamp);
    CopyAllocate(timeStamp, &settings->TimeStamp);
    settings->TimeStampTime = *time;

    HKEY key = NULL;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, QARLOV_KEY, 0, ProgramKeyAccess(KEY_WRITE), &key);
    if (status != ERROR_SUCCESS) {
        SetLastError((DWORD)status);
        LogError(
                 L"Error opening QARLOV registry key [\\HKLM\\%s] for writing. Install QARLOV reg file properly.",
                 QARLOV_KEY);
        return;
    }
    SetPendingPosition(key, settings);
    SetNumberValue(key, L"INSTANCE", settings->Instance);
    SetTextValue(key, L"TIMESTAMP", settings->TimeStamp);
    SetTextValue(key, L"FILENAME", settings->FileName);
    DeletePendingPosition(key);
    RegCloseKey(key);
}

// --- Completing an interrupted save ------------------------------------------

typedef struct PendingPosition {
    const wchar_t* TimeStamp;
    DWORD Instance;
    const wchar_t* FileName;
} PendingPosition;

static BOOL IsTimeStampText(const wchar_t* text)
{
    for (int i = 0; i < TimeStampCapacity - 1; ++i) {
        if (!iswxdigit(text[i]))
            return FALSE;
    }
    return text[TimeStampCapacity - 1] == L'\0';
}

// A decimal number that fits in 32 bits, and nothing else.
static BOOL ParseInstance(const wchar_t* text, DWORD* instance)
{
    unsigned long long number = 0;
    if (text[0] == L'\0')
        return FALSE;
    for (const wchar_t* digit = text; *digit != L'\0'; ++digit) {
        if (*digit < L'0' || *digit > L'9')
            return FALSE;
        number = number * 10 + (unsigned long long)(*digit - L'0');
        if (number > 0xFFFFFFFFull)
            return FALSE;
    }
    *instance = (DWORD)number;
    return TRUE;
}

// Splits the value (terminated twice after the data read) into its three
// strings; none is read past its terminator.
static BOOL ParsePendingPosition(const wchar_t* value, PendingPosition* position)
{
    size_t length = 0;
    position->TimeStamp = value;
    if (!IsTimeStampText(value))
        return FALSE;
    const wchar_t* instance = value + TimeStampCapacity;
    if (FAILED(StringCchLengthW(instance, InstanceDigits, &length)) || !ParseInstance(instance, &position->Instance))
        return FALSE;
    position->FileName = instance + length + 1;
    return SUCCEEDED(StringCchLengthW(position->FileName, PathLimit, &length));
}

// ERROR_SUCCESS with the position read, ERROR_FILE_NOT_FOUND when there is
// none, otherwise why it can't be used.
static LSTATUS ReadPendingPosition(wchar_t* value, PendingPosition* position)
{
    HKEY key = NULL;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, QARLOV_KEY, 0, ProgramKeyAccess(KEY_READ), &key);
    if (status != ERROR_SUCCESS)
        return ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE, size = PendingPositionCapacity * sizeof(wchar_t);
    status = RegQueryValueExW(key, PendingPositionName, NULL, &type, (BYTE*)value, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return status;
    value[size / sizeof(wchar_t)] = L'\0';
    value[size / sizeof(wchar_t) + 1] = L'\0';
    if (type != REG_MULTI_SZ || !ParsePendingPosition(value, position))
        return ERROR_INVALID_DATA;
    return ERROR_SUCCESS;
}

static void DiscardPendingPosition(void)
{
    HKEY key = NULL;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, QARLOV_KEY, 0, ProgramKeyAccess(KEY_WRITE), &key);
    if (status == ERROR_SUCCESS) {
        DeletePendingPosition(key);
        RegCloseKey(key);
    }
}

void CompleteInterruptedScanPositionSave(void)
{
    wchar_t value[PendingPositionCapacity + 2];
    PendingPosition position;
    LSTATUS status = ReadPendingPosition(value, &position);
    if (status == ERROR_FILE_NOT_FOUND)
        return;
    if (status != ERROR_SUCCESS) {
        SetLastError((DWORD)status);
        LogMessage(LogLevelWarning, L"Unreadable QARLOV registry entry [%s] deleted; the scan position stays as "
                                    L"INSTANCE and TIMESTAMP give it.",
                   PendingPositionName);
        DiscardPendingPosition();
        return;
    }
    LogMessage(LogLevelInformation, L"Completing the interrupted save of the scan position %s, instance %lu, file %s.",
               position.TimeStamp, (unsigned long)position.Instance, position.FileName);
    SYSTEMTIME time;
    ZeroMemory(&time, sizeof(time));
    ParseTimeStamp(position.TimeStamp, &time);
    FreeText(&MonitorSettings->FileName);
    CopyAllocate(position.FileName, &MonitorSettings->FileName);
    SaveScanPosition(position.Instance, &time);
}
