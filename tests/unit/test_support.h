// Shared helpers of the unit tests.
#pragma once
#include <windows.h>
#include <stdlib.h>
#include <functional>
#include <string>
#include <vector>

// Runs body with standard output redirected to a file and returns what it
// wrote, as bytes (line ends as written: CR LF).
std::string CaptureConsoleOutput(const std::function<void()>& body);

// Runs body with a ShutDownEvent while another thread requests a stop after
// delay milliseconds, as a console control event or the service manager
// does. The stop is undone and the event closed afterwards.
void RunWithStopAfter(DWORD delay, const std::function<void()>& body);

// Replaces the process-wide settings with a fresh record (DebugOutput 1).
void ResetMonitorSettings(void);

// A wide string from bytes taken one to one, each as the character of its value.
std::wstring Widen(const std::string& bytes);

// How often part occurs in text (overlapping occurrences count).
size_t CountOf(const std::string& text, const std::string& part);

// Settings own their texts and actions as malloc'ed blocks: a copy of text,
// and a zeroed action.
wchar_t* Owned(const std::wstring& text);
template <typename T>
T* NewAction(void)
{
    return (T*)calloc(1, sizeof(T));
}

// The Message action with the given text in the settings: each line whose
// actions run leaves one WARNING line with the text expanded.
void ConfigureMessageAction(const std::wstring& message);

// ---- Registry keys and values below HKEY_LOCAL_MACHINE in the test's prefix

// Registry views: the program's own keys are read in the 64-bit view, the
// antivirus product's keys in the 32-bit view. A view of 0 is the process's
// own, for keys that both views share.
const REGSAM View64 = KEY_WOW64_64KEY;
const REGSAM View32 = KEY_WOW64_32KEY;

void CreateTestKey(const wchar_t* path, REGSAM view);
void SetTestNumber(const wchar_t* path, const wchar_t* name, DWORD number, REGSAM view);
// byteCount 0: the text with its terminator.
void SetTestText(const wchar_t* path, const wchar_t* name, const std::wstring& text, REGSAM view,
                 DWORD byteCount = 0, DWORD type = REG_SZ);
// Removes the key with everything below it, if it exists.
void DeleteTestKey(const wchar_t* path, REGSAM view);

// A value as stored: its type and all its bytes; Result is the status of
// opening the key or reading the value.
struct TestValue {
    LONG Result = ERROR_FILE_NOT_FOUND;
    DWORD Type = 0;
    std::vector<BYTE> Data;
};
TestValue QueryTestValue(const wchar_t* path, const wchar_t* name, REGSAM view);

// False when the value doesn't exist in that view or is no REG_DWORD.
bool QueryTestNumber(const wchar_t* path, const wchar_t* name, REGSAM view, DWORD* number);
// The REG_SZ text as stored: the returned string includes a stored
// terminator, so a text written with one ends in L'\0'.
bool QueryTestText(const wchar_t* path, const wchar_t* name, REGSAM view, std::wstring* text);
bool TestValueExists(const wchar_t* path, const wchar_t* name, REGSAM view);
