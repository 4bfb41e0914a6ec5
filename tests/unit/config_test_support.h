// Registry access for the configuration tests, in a chosen view of the
// test's own Wine prefix.
#pragma once
#include <windows.h>
#include "tests/unit/error_exit.h"
#include <gtest/gtest.h>
#include <string>

// Registry views: the program's own keys are read in the 64-bit view, the
// antivirus product's keys in the 32-bit view.
const REGSAM View64 = KEY_WOW64_64KEY;
const REGSAM View32 = KEY_WOW64_32KEY;

inline void CreateTestKey(const wchar_t* path, REGSAM view)
{
    HKEY key = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_WRITE | view, NULL, &key,
                                             NULL))
        << "creating key";
    RegCloseKey(key);
}

inline void SetTestNumber(const wchar_t* path, const wchar_t* name, DWORD number, REGSAM view)
{
    HKEY key = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_WRITE | view, NULL, &key,
                                             NULL));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE*)&number, sizeof(number)));
    RegCloseKey(key);
}

// byteCount 0: the text with its terminator.
inline void SetTestText(const wchar_t* path, const wchar_t* name, const std::wstring& text, REGSAM view,
                        DWORD byteCount = 0, DWORD type = REG_SZ)
{
    HKEY key = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_WRITE | view, NULL, &key,
                                             NULL));
    if (byteCount == 0)
        byteCount = (DWORD)((text.size() + 1) * sizeof(wchar_t));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, (const BYTE*)text.c_str(), byteCount));
    RegCloseKey(key);
}

// Removes the key with everything below it, if it exists.
inline void DeleteTestKey(const wchar_t* path, REGSAM view)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS | view, &key) == ERROR_SUCCESS) {
        RegDeleteTreeW(key, NULL);
        RegCloseKey(key);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path, view, 0);
    }
}

// False when the value doesn't exist in that view.
inline bool QueryTestNumber(const wchar_t* path, const wchar_t* name, REGSAM view, DWORD* number)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, size = sizeof(*number);
    LSTATUS status = RegQueryValueExW(key, name, NULL, &type, (BYTE*)number, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(*number);
}

// The stored text as stored: the returned string includes a stored
// terminator, so a REG_SZ written with one ends in L'\0'.
inline bool QueryTestText(const wchar_t* path, const wchar_t* name, REGSAM view, std::wstring* text)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    wchar_t buffer[8192];
    DWORD type = 0, size = sizeof(buffer);
    LSTATUS status = RegQueryValueExW(key, name, NULL, &type, (BYTE*)buffer, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return false;
    text->assign(buffer, size / sizeof(wchar_t));
    return true;
}

inline bool TestValueExists(const wchar_t* path, const wchar_t* name, REGSAM view)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    LSTATUS status = RegQueryValueExW(key, name, NULL, NULL, NULL, NULL);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}
