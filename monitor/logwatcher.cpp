// The log-folder trigger. The day's file is read once at start; afterwards
// every change notification on the log folder leads to a reading when the
// day file's last-write time has changed. All of it runs on the watcher
// thread; a stop request is noticed only while the watcher waits.
#include "monitor/logwatcher.h"
#include "config/strings.h"
#include "core/limits.h"
#include "core/log.h"
#include "core/runstate.h"
#include "monitor/logreader.h"
#include <strsafe.h>

enum { DirectoryCapacity = 516 };

// The day file's name, "MMDDYYYY.Log", from the local date.
static void FormatDayFileName(wchar_t* name)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    if (FAILED(StringCchPrintfW(name, PathLimit, L"%.2u%.2u%.4u.Log", now.wMonth, now.wDay, now.wYear)))
        LogMessage(LogLevelError, L"Error formatting file name.");
}

static void CopyFileName(wchar_t* destination, const wchar_t* source)
{
    if (FAILED(StringCchCopyW(destination, PathLimit, source)))
        LogMessage(LogLevelError, L"Error copying a file name.");
}

// The file name the scan position refers to.
static void SetScanFileName(const wchar_t* name)
{
    FreeText(&MonitorSettings->FileName);
    CopyAllocate(name, &MonitorSettings->FileName);
}

void ProcessTodaysLogFile(void)
{
    wchar_t directory[DirectoryCapacity];
    GetDirectory(directory, DirectoryCapacity);
    wchar_t dayName[PathLimit];
    FormatDayFileName(dayName);
    wchar_t path[PathLimit];
    CombinePath(directory, dayName, path);
    SetScanFileName(dayName);
    ReadLogFile(path);
}

void CheckLogFileChange(const wchar_t* path, const wchar_t* fileName, LogFileState* lastSeen)
{
    LogFileState found;
    ZeroMemory(&found, sizeof(found));
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(path, &entry);
    if (search == INVALID_HANDLE_VALUE) {
        LogMessage(LogLevelWarning, L"Directory content changed but log file %s was not found.", fileName);
    } else {
        found.LastWriteTime = entry.ftLastWriteTime;
        found.Size.LowPart = entry.nFileSizeLow;
        found.Size.HighPart = entry.nFileSizeHigh;
        FindClose(search);
    }
    // A write shows its new time before its data is in place: a reading
    // that began during an append remembers that time but misses the line.
    // The size, which grows only with the data, still tells the append's
    // own notification that there is something new to read.
    if (CompareFileTime(&lastSeen->LastWriteTime, &found.LastWriteTime) == 0 &&
        lastSeen->Size.QuadPart == found.Size.QuadPart)
        return;
    *lastSeen = found;
    if (found.LastWriteTime.dwLowDateTime == 0 && found.LastWriteTime.dwHighDateTime == 0)
        return;
    LogMessage(LogLevelInformation, L"File %s changed.", fileName);
    ReadLogFile(path);
}

// At a date change the file last read is checked once more before the
// watcher moves on to the new day's file, while the scan position still
// names it: lines written to it after its last reading (around midnight)
// would otherwise never be read.
static void FinishPreviousDayFile(const wchar_t* dayName, const wchar_t* directory, LogFileState* lastSeen)
{
    const wchar_t* scanFileName = MonitorSettings->FileName;
    if (scanFileName == NULL || scanFileName[0] == L'\0' || lstrcmpW(scanFileName, dayName) == 0)
        return;
    wchar_t previousName[PathLimit];
    CopyFileName(previousName, scanFileName);
    wchar_t path[PathLimit];
    CombinePath(directory, previousName, path);
    CheckLogFileChange(path, previousName, lastSeen);
}

void OnLogDirectoryChange(wchar_t* currentFileName, const wchar_t* directory, LogFileState* lastSeen)
{
    wchar_t dayName[PathLimit];
    FormatDayFileName(dayName);
    FinishPreviousDayFile(dayName, directory, lastSeen);
    SetScanFileName(dayName);

    if (currentFileName[0] == L'\0') {
        CopyFileName(currentFileName, dayName);
        ZeroMemory(lastSeen, sizeof(*lastSeen));
    } else if (lstrcmpW(currentFileName, dayName) != 0) {
        // A new day: its file starts a new run of instances. The stored
        // time stamp stays, so older lines are still passed over.
        ZeroMemory(lastSeen, sizeof(*lastSeen));
        MonitorSettings->Instance = 0;
        CopyFileName(currentFileName, dayName);
    }

    wchar_t path[PathLimit];
    CombinePath(directory, dayName, path);
    CheckLogFileChange(path, dayName, lastSeen);
}

static HANDLE WatchLogDirectory(const wchar_t* directory)
{
    HANDLE change = FindFirstChangeNotificationW(directory, FALSE, FILE_NOTIFY_CHANGE_LAST_WRITE);
    if (change == INVALID_HANDLE_VALUE)
        LogMessage(LogLevelError, L"File handle for FindFirstChangeNotification invalid.");
    if (change == NULL)
        LogMessage(LogLevelError, L"Unexpected NULL from FindFirstChangeNotification.");
    return change;
}

// Serves folder changes until ShutDownEvent is signalled.
static void WaitForLogChanges(HANDLE change, const wchar_t* directory)
{
    wchar_t currentFileName[PathLimit] = L"";
    LogFileState lastSeen;
    ZeroMemory(&lastSeen, sizeof(lastSeen));
    while (WaitForChangeOrShutDown(change)) {
        // Re-armed first, so that changes made while the file is being
        // processed raise the next notification.
        if (!FindNextChangeNotification(change))
            LogMessage(LogLevelError, L"FindNextChangeNotification function failed.");
        OnLogDirectoryChange(currentFileName, directory, &lastSeen);
    }
}

void WatchLogFile(void)
{
    wchar_t directory[DirectoryCapacity];
    GetDirectory(directory, DirectoryCapacity);
    // Armed before the first reading: a line written while the day file is
    // read at start raises a notification, instead of waiting unseen for
    // the next change of the file.
    HANDLE change = WatchLogDirectory(directory);
    ProcessTodaysLogFile();
    if (!CreateShutDownEvent())
        LogMessage(LogLevelError, L"Could not create ShutDownEvent in WatchLogFile.");

    LogMessage(LogLevelInformation, L"Monitoring directory %s\n", directory);
    WaitForLogChanges(change, directory);

    LogMessage(LogLevelInformation, L"Shutting down log file monitor routine. QARLOV is about to stop.");
    if (!FindCloseChangeNotification(change))
        LogMessage(LogLevelInformation,
                   L"Error in FindCloseChangeNotification. This can be ignored safely - QARLOV is shutting down anyway.");
    AcknowledgeShutDown();
}
