// Shared helpers of the unit tests.
#pragma once
#include <windows.h>
#include <functional>
#include <string>

// Runs body with standard output redirected to a file and returns what it
// wrote, as bytes (line ends as written: CR LF).
std::string CaptureConsoleOutput(const std::function<void()>& body);

// Runs body with a ShutDownEvent while another thread requests a stop after
// delay milliseconds, as a console control event or the service manager
// does. The stop is undone and the event closed afterwards.
void RunWithStopAfter(DWORD delay, const std::function<void()>& body);

// Replaces the process-wide settings with a fresh record (DebugOutput 1).
void ResetMonitorSettings(void);

// A wide string from bytes taken one to one (how the program widens text).
std::wstring Widen(const std::string& bytes);
