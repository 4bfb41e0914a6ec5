#include "config/scanposition.h"
#include "config/settings.h"
#include "config/strings.h"
#include "core/limits.h"
#include "core/log.h"
#include "core/runstate.h"
#include <strsafe.h>

enum { TimeStampCapacity = 13 };  // 12 digits and the terminator

// Six bytes as two upper-case hexadecimal digits each: years since 1970,
// month - 1, day, hour, minute, second. A year outside 1970 to 2225 wraps.
void FormatTimeStamp(const SYSTEMTIME* time, wchar_t* destination)
{
    StringCchPrintfW(destination, TimeStampCapacity, L"%02X%02X%02X%02X%02X%02X",
                     (unsigned int)(BYTE)(time->wYear - 1970), (unsigned int)(BYTE)(time->wMonth - 1),
                     (unsigned int)(BYTE)time->wDay, (unsigned int)(BYTE)time->wHour,
                     (unsigned int)(BYTE)time->wMinute, (unsigned int)(BYTE)time->wSecond);
}

static void ReportSetFailure(LSTATUS status, const wchar_t* name)
{
    SetLastError((DWORD)status);
    LogMessage(LogLevelError, L"Error setting QARLOV registry entry [%s]. Install QARLOV reg file properly.", name);
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

// The position changes in memory first; the three values are then written
// one by one to the view the settings are read from.
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
        LogMessage(LogLevelError,
                   L"Error opening QARLOV registry key [\\HKLM\\%s] for writing. Install QARLOV reg file properly.",
                   QARLOV_KEY);
        return;
    }
    SetNumberValue(key, L"INSTANCE", settings->Instance);
    SetTextValue(key, L"TIMESTAMP", settings->TimeStamp);
    SetTextValue(key, L"FILENAME", settings->FileName);
    RegCloseKey(key);
}
