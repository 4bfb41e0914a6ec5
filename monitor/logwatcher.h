// The log-folder trigger: watches the antivirus log folder and reads the
// day's file again whenever its last-write time or size changes.
#pragma once
#include <windows.h>

// Room for the log folder's path, as GetDirectory copies it.
enum { DirectoryCapacity = 516 };

// The day file's name, "MMDDYYYY.Log", of a local date, into name
// (PathLimit characters).
void FormatDayFileName(const SYSTEMTIME* date, wchar_t* name);

// How long a watcher waits, when no change comes, before it tries a failed
// reading again.
static const DWORD ReadingRetryInterval = 5000;

// Reads today's file; first, while the scan position names an earlier
// day's file, that file a last time and then every day file since, at most
// 31 days back (see OnLogDirectoryChange). FALSE when a reading failed and
// is to be tried again; a day file that does not exist yet is no failure.
BOOL ProcessTodaysLogFile(void);
void WatchLogFile(void);
// What the watcher remembers of the day file from its last reading: its
// last-write time and its size. All zero: not seen yet, or missing.
typedef struct LogFileState {
    FILETIME LastWriteTime;
    ULARGE_INTEGER Size;
} LogFileState;

// One folder change, or a retry: at a day change the file the scan position
// still names is read a last time as a finished file, and so is every day
// file since (after an outage); with each file the instance starts again at
// 0, and at last the new day's file is read. FALSE when a reading failed
// and is to be tried again.
BOOL OnLogDirectoryChange(wchar_t* currentFileName, const wchar_t* directory, LogFileState* lastSeen);

// Reads the file when its time or size differs from lastSeen, and then
// remembers them. FALSE when that reading failed; lastSeen then stays as it
// was, so that the file still counts as changed.
BOOL CheckLogFileChange(const wchar_t* path, const wchar_t* fileName, LogFileState* lastSeen);
