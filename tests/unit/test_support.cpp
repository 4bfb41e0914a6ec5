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
