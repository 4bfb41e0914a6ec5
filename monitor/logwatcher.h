// The log-folder trigger: watches the antivirus log folder and reads the
// day's file again whenever its last-write time changes.
#pragma once
#include <windows.h>

void ProcessTodaysLogFile(void);
void WatchLogFile(void);
void OnLogDirectoryChange(wchar_t* currentFileName, const wchar_t* directory, FILETIME* lastWriteTime);
void CheckLogFileChange(const wchar_t* path, const wchar_t* fileName, FILETIME* lastWriteTime);
