// The log-folder trigger: watches the antivirus log folder and reads the
// day's file again whenever its last-write time changes.
#pragma once
#include <windows.h>

void ProcessTodaysLogFile(void);
void WatchLogFile(void);
// What the watcher remembers of the day file from its last look: its
// last-write time and its size. All zero: not seen yet, or missing.
typedef struct LogFileState {
    FILETIME LastWriteTime;
    ULARGE_INTEGER Size;
} LogFileState;

void OnLogDirectoryChange(wchar_t* currentFileName, const wchar_t* directory, LogFileState* lastSeen);
void CheckLogFileChange(const wchar_t* path, const wchar_t* fileName, LogFileState* lastSeen);
