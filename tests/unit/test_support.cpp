#include "tests/unit/test_support.h"
#include "config/settings.h"
#include "core/console.h"
#include "core/log.h"
#include "core/platform.h"
#include "core/runstate.h"
#include <gtest/gtest.h>
#include <stdio.h>

std::string CaptureConsoleOutput(const std::function<void()>& body)
{
    wchar_t directory[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    GetTempFileNameW(directory, L"qco", 0, path);
    SECURITY_ATTRIBUTES inherit = { sizeof(inherit), NULL, TRUE };
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, NULL);
    HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, file);
    body();
    SetStdHandle(STD_OUTPUT_HANDLE, saved);

    std::string bytes;
    DWORD size = GetFileSize(file, NULL), read = 0;
    bytes.resize(size);
    SetFilePointer(file, 0, NULL, FILE_BEGIN);
    if (size > 0)
        ReadFile(file, &bytes[0], size, &read, NULL);
    bytes.resize(read);
    CloseHandle(file);
    DeleteFileW(path);
    return bytes;
}

static DWORD WINAPI RequestStopAfter(LPVOID delay)
{
    Sleep((DWORD)(ULONG_PTR)delay);
    RequestStop();
    return 0;
}

void RunWithStopAfter(DWORD delay, const std::function<void()>& body)
{
    EXPECT_TRUE(CreateShutDownEvent());
    HANDLE stopper = CreateThread(NULL, 0, RequestStopAfter, (LPVOID)(ULONG_PTR)delay, 0, NULL);
    body();
    WaitForSingleObject(stopper, INFINITE);
    CloseHandle(stopper);
    StopRequested = 0;
    CloseHandle(ShutDownEvent);
    ShutDownEvent = NULL;
}

void ResetMonitorSettings(void)
{
    FreeMonitorSettings(MonitorSettings);
    MonitorSettings = CreateMonitorSettings();
    SetDebugOutput(1);
}

std::wstring Widen(const std::string& bytes)
{
    std::wstring wide;
    for (unsigned char c : bytes)
        wide += (wchar_t)c;
    return wide;
}

size_t CountOf(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

wchar_t* Owned(const std::wstring& text)
{
    return _wcsdup(text.c_str());
}

void ConfigureMessageAction(const std::wstring& message)
{
    MonitorSettings->Message = NewAction<MessageAction>();
    MonitorSettings->Message->Message = Owned(message);
}

// ---- Registry ----------------------------------------------------------------

void CreateTestKey(const wchar_t* path, REGSAM view)
{
    HKEY key = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_WRITE | view, NULL, &key,
                                             NULL))
        << "creating key";
    RegCloseKey(key);
}

void SetTestNumber(const wchar_t* path, const wchar_t* name, DWORD number, REGSAM view)
{
    HKEY key = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_WRITE | view, NULL, &key,
                                             NULL));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE*)&number, sizeof(number)));
    RegCloseKey(key);
}

void SetTestText(const wchar_t* path, const wchar_t* name, const std::wstring& text, REGSAM view, DWORD byteCount,
                 DWORD type)
{
    HKEY key = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_WRITE | view, NULL, &key,
                                             NULL));
    if (byteCount == 0)
        byteCount = (DWORD)((text.size() + 1) * sizeof(wchar_t));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, (const BYTE*)text.c_str(), byteCount));
    RegCloseKey(key);
}

void DeleteTestKey(const wchar_t* path, REGSAM view)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS | view, &key) == ERROR_SUCCESS) {
        RegDeleteTreeW(key, NULL);
        RegCloseKey(key);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path, view, 0);
    }
}

TestValue QueryTestValue(const wchar_t* path, const wchar_t* name, REGSAM view)
{
    TestValue value;
    HKEY key = NULL;
    value.Result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | view, &key);
    if (value.Result != ERROR_SUCCESS)
        return value;
    DWORD size = 0;
    value.Result = RegQueryValueExW(key, name, NULL, &value.Type, NULL, &size);
    if (value.Result == ERROR_SUCCESS && size > 0) {
        value.Data.resize(size);
        value.Result = RegQueryValueExW(key, name, NULL, &value.Type, value.Data.data(), &size);
        value.Data.resize(size);
    }
    RegCloseKey(key);
    return value;
}

bool QueryTestNumber(const wchar_t* path, const wchar_t* name, REGSAM view, DWORD* number)
{
    TestValue value = QueryTestValue(path, name, view);
    if (value.Result != ERROR_SUCCESS || value.Type != REG_DWORD || value.Data.size() != sizeof(*number))
        return false;
    memcpy(number, value.Data.data(), sizeof(*number));
    return true;
}

bool QueryTestText(const wchar_t* path, const wchar_t* name, REGSAM view, std::wstring* text)
{
    TestValue value = QueryTestValue(path, name, view);
    if (value.Result != ERROR_SUCCESS || value.Type != REG_SZ)
        return false;
    text->assign((const wchar_t*)value.Data.data(), value.Data.size() / sizeof(wchar_t));
    return true;
}

bool TestValueExists(const wchar_t* path, const wchar_t* name, REGSAM view)
{
    return QueryTestValue(path, name, view).Result == ERROR_SUCCESS;
}

int main(int argc, char** argv)
{
    // Tests run without a console window; they exercise the console back
    // end unless a test chooses otherwise.
    SetConsoleModeCache(TRUE);
    MonitorSettings = CreateMonitorSettings();
    DetectWindowsVersion();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
