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

static void SetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, size_t size)
{
    LSTATUS status = RegSetValueExW(key, name, 0, type, (const BYTE*)data, (DWORD)size);
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
    SetValue(key, name, REG_SZ, text, (length + 1) * sizeof(wchar_t));
}

// The new position as one value, written before the others and deleted
// after them: a process ended between those writes leaves it for the next
// start, which completes the save. A multi-string: the time-stamp text, the
// instance, the file name, the offset and its check, numbers in decimal.
// One written by an older version ends after the file name.
static const wchar_t PendingPositionName[] = L"PENDINGPOSITION";
enum {
    InstanceDigits = 11,  // also of the offset check
    OffsetDigits = 21,
    PendingPositionCapacity = TimeStampCapacity + InstanceDigits + PathLimit + OffsetDigits + InstanceDigits + 1
};

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
    wchar_t instance[InstanceDigits], offset[OffsetDigits], check[InstanceDigits];
    size_t used = 0;
    StringCchPrintfW(instance, InstanceDigits, L"%lu", (unsigned long)settings->Instance);
    StringCchPrintfW(offset, OffsetDigits, L"%I64u", settings->Offset);
    StringCchPrintfW(check, InstanceDigits, L"%lu", (unsigned long)settings->OffsetCheck);
    if (!AppendString(value, &used, settings->TimeStamp) || !AppendString(value, &used, instance) ||
        !AppendString(value, &used, settings->FileName != NULL ? settings->FileName : L"") ||
        !AppendString(value, &used, offset) || !AppendString(value, &used, check) ||
        used >= PendingPositionCapacity) {
        ReportSetFailure(ERROR_SUCCESS, PendingPositionName);
        return;
    }
    value[used++] = L'\0';
    SetValue(key, PendingPositionName, REG_MULTI_SZ, value, used * sizeof(wchar_t));
}

static void DeletePendingPosition(HKEY key)
{
    LSTATUS status = RegDeleteValueW(key, PendingPositionName);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        ReportSetFailure(status, PendingPositionName);
}

// Writes the position now in the settings to the view the settings are read
// from: as one pending value, as the values one by one, and the pending
// value is deleted.
static void StoreScanPosition(const MonitorSettingsRecord* settings)
{
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
    SetValue(key, L"INSTANCE", REG_DWORD, &settings->Instance, sizeof(settings->Instance));
    SetTextValue(key, L"TIMESTAMP", settings->TimeStamp);
    SetTextValue(key, L"FILENAME", settings->FileName);
    SetValue(key, L"OFFSET", REG_QWORD, &settings->Offset, sizeof(settings->Offset));
    SetValue(key, L"OFFSETCHECK", REG_DWORD, &settings->OffsetCheck, sizeof(settings->OffsetCheck));
    DeletePendingPosition(key);
    RegCloseKey(key);
}

// FNV-1a, 32 bits: cheap, and a changed byte changes it.
static DWORD AddToChecksum(DWORD checksum, const void* data, size_t length)
{
    const BYTE* bytes = (const BYTE*)data;
    for (size_t i = 0; i < length; ++i)
        checksum = (checksum ^ bytes[i]) * 16777619u;
    return checksum;
}

static DWORD AddTextToChecksum(DWORD checksum, const wchar_t* text)
{
    size_t length = 0;
    if (text == NULL || FAILED(StringCchLengthW(text, TextLimit, &length)))
        length = 0;
    return AddToChecksum(checksum, text, (length + 1) * sizeof(wchar_t));
}

DWORD ComputeOffsetCheck(const char* bytesBefore, size_t byteCount)
{
    const MonitorSettingsRecord* settings = MonitorSettings;
    DWORD checksum = AddToChecksum(2166136261u, bytesBefore, byteCount);
    checksum = AddTextToChecksum(checksum, settings->TimeStamp);
    checksum = AddToChecksum(checksum, &settings->Instance, sizeof(settings->Instance));
    return AddTextToChecksum(checksum, settings->FileName);
}

// The position changes in memory first, the check last, as it covers the
// new time stamp and instance; then it is written.
void SaveScanPosition(DWORD instance, const SYSTEMTIME* time, const DecodedEnd* end)
{
    MonitorSettingsRecord* settings = MonitorSettings;
    wchar_t timeStamp[TimeStampCapacity];

    settings->Instance = instance;
    FreeText(&settings->TimeStamp);
    FormatTimeStamp(time, timeStamp);
    CopyAllocate(timeStamp, &settings->TimeStamp);
    settings->TimeStampTime = *time;
    settings->Offset = end->Offset;
    settings->OffsetCheck = ComputeOffsetCheck(end->BytesBefore, end->ByteCount);
    StoreScanPosition(settings);
}

// --- Completing an interrupted save ------------------------------------------

typedef struct PendingPosition {
    const wchar_t* TimeStamp;
    DWORD Instance;
    const wchar_t* FileName;
    ULONGLONG Offset;  // 0 when an older version wrote the value
    DWORD OffsetCheck;
} PendingPosition;

static BOOL IsTimeStampText(const wchar_t* text)
{
    for (int i = 0; i < TimeStampCapacity - 1; ++i) {
        if (!iswxdigit(text[i]))
            return FALSE;
    }
    return text[TimeStampCapacity - 1] == L'\0';
}

// A decimal number up to limit, and nothing else.
static BOOL ParseDecimal(const wchar_t* text, ULONGLONG limit, ULONGLONG* number)
{
    *number = 0;
    if (text[0] == L'\0')
        return FALSE;
    for (const wchar_t* digit = text; *digit != L'\0'; ++digit) {
        if (*digit < L'0' || *digit > L'9')
            return FALSE;
        ULONGLONG value = (ULONGLONG)(*digit - L'0');
        if (*number > (limit - value) / 10)
            return FALSE;
        *number = *number * 10 + value;
    }
    return TRUE;
}

// The next string of the value after text (of at most capacity characters
// with its terminator), or NULL when text has none within it.
static const wchar_t* NextString(const wchar_t* text, size_t capacity)
{
    size_t length = 0;
    return SUCCEEDED(StringCchLengthW(text, capacity, &length)) ? text + length + 1 : NULL;
}

// A decimal number up to limit in the string at text (of at most capacity
// characters with its terminator); returns the string after it, or NULL
// when there is no such number.
static const wchar_t* ParseNumberString(const wchar_t* text, size_t capacity, ULONGLONG limit, ULONGLONG* number)
{
    const wchar_t* next = NextString(text, capacity);
    return next != NULL && ParseDecimal(text, limit, number) ? next : NULL;
}

// Splits the value (terminated twice after the data read) into its strings;
// none is read past its terminator.
static BOOL ParsePendingPosition(const wchar_t* value, PendingPosition* position)
{
    ULONGLONG instance = 0, offset = 0, check = 0;
    position->TimeStamp = value;
    if (!IsTimeStampText(value))
        return FALSE;
    position->FileName = ParseNumberString(value + TimeStampCapacity, InstanceDigits, 0xFFFFFFFFull, &instance);
    if (position->FileName == NULL)
        return FALSE;
    position->Instance = (DWORD)instance;
    const wchar_t* offsetText = NextString(position->FileName, PathLimit);
    if (offsetText == NULL)
        return FALSE;
    if (offsetText[0] != L'\0') {
        const wchar_t* checkText = ParseNumberString(offsetText, OffsetDigits, ~0ull, &offset);
        if (checkText == NULL || ParseNumberString(checkText, OffsetDigits, 0xFFFFFFFFull, &check) == NULL)
            return FALSE;
    }
    position->Offset = offset;
    position->OffsetCheck = (DWORD)check;
    return TRUE;
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
    MonitorSettingsRecord* settings = MonitorSettings;
    settings->Instance = position.Instance;
    FreeText(&settings->TimeStamp);
    CopyAllocate(position.TimeStamp, &settings->TimeStamp);
    ZeroMemory(&settings->TimeStampTime, sizeof(settings->TimeStampTime));
    ParseTimeStamp(position.TimeStamp, &settings->TimeStampTime);
    FreeText(&settings->FileName);
    CopyAllocate(position.FileName, &settings->FileName);
    settings->Offset = position.Offset;
    settings->OffsetCheck = position.OffsetCheck;
    StoreScanPosition(settings);
}
