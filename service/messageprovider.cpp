#include "service/service.h"
#include "core/limits.h"
#include "core/log.h"
#include <strsafe.h>

#define EVENT_SOURCE_KEY_FORMAT L"SYSTEM\\CurrentControlSet\\services\\eventlog\\Application\\%s"
#define EVENT_TYPES_SUPPORTED   (EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE)
#define EVENT_CATEGORY_COUNT    3

static void FormatEventSourceKey(wchar_t* key)
{
    if (FAILED(StringCchPrintfW(key, PathLimit, EVENT_SOURCE_KEY_FORMAT, QARLOV_SERVICE_NAME)))
        LogError(L"Error formatting registry key name.");
}

static LONG StorePathValue(HKEY key, const wchar_t* name, const wchar_t* path)
{
    size_t length = 0;
    StringCchLengthW(path, PathLimit, &length);
    return RegSetValueExW(key, name, 0, REG_EXPAND_SZ, (const BYTE*)path, (DWORD)((length + 1) * sizeof(wchar_t)));
}

static LONG StoreNumberValue(HKEY key, const wchar_t* name, DWORD number)
{
    return RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE*)&number, sizeof(number));
}

// Registry calls return their error code instead of setting the thread's
// last error; it is set here so that the log line names the reason.
static void LogRegistryWarning(LONG result, const wchar_t* text)
{
    SetLastError((DWORD)result);
    LogMessage(LogLevelWarning, L"%s", text);
}

BOOL InstallMessageProvider(void)
{
    wchar_t keyName[PathLimit];
    wchar_t programPath[PathLimit];
    FormatEventSourceKey(keyName);
    GetProgramPath(programPath);

    // The key lies outside the redirected part of the registry: no view flag.
    HKEY key = NULL;
    LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyName, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_WRITE, NULL,
                                  &key, NULL);
    if (result != ERROR_SUCCESS) {
        LogRegistryWarning(result, L"Unable to write registry keys [RegCreateKeyEx].");
        return FALSE;
    }

    result = StorePathValue(key, L"EventMessageFile", programPath);
    if (result == ERROR_SUCCESS)
        result = StoreNumberValue(key, L"TypesSupported", EVENT_TYPES_SUPPORTED);
    if (result == ERROR_SUCCESS)
        result = StorePathValue(key, L"CategoryMessageFile", programPath);
    if (result != ERROR_SUCCESS) {
        LogRegistryWarning(result, L"Unable to write registry keys [RegSetValueEx].");
        RegCloseKey(key);
        return FALSE;
    }
    result = StoreNumberValue(key, L"CategoryCount", EVENT_CATEGORY_COUNT);
    if (result != ERROR_SUCCESS) {
        LogRegistryWarning(result, L"Unable to write registry key [RegSetValueEx].");
        RegCloseKey(key);
        return FALSE;
    }
    RegCloseKey(key);
    LogMessage(LogLevelInformation, L"QARLOV was installed as message provider.");
    return TRUE;
}

BOOL RemoveMessageProvider(void)
{
    wchar_t keyName[PathLimit];
    FormatEventSourceKey(keyName);
    LONG result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, keyName);
    if (result != ERROR_SUCCESS) {
        SetLastError((DWORD)result);
        LogMessage(LogLevelWarning, L"Unable to delete registry key [\\HKLM\\%s]. Error = %d.", keyName, (int)result);
    }
    LogMessage(LogLevelInformation, L"QARLOV was deinstalled as message provider.");
    // A registration that doesn't exist is removed already.
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}
