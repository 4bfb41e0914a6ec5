// The log-folder trigger. The day's file is read once at start; afterwards
// every change notification on the log folder leads to a reading when the
// day file's last-write time or size has changed. A reading that failed is
// tried again at the next change, or after a few seconds when none comes.
// All of it runs on the watcher thread; a stop request ends the wait at
// once and a reading between two lines.
#include "monitor/logwatcher.h"
#include "config/settings.h"
#include "config/strings.h"
#include "core/limits.h"
#include "core/log.h"
#include "core/runstate.h"
#include "monitor/logreader.h"
#include <strsafe.h>

enum { DayFileNameLength = 12 };

void FormatDayFileName(wchar_t* name)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    if (FAILED(StringCchPrintfW(name, PathLimit, L"%.2u%.2u%.4u.Log", now.wMonth, now.wDay, now.wYear)))
        LogError(L"Error formatting file name.");
}

static void CopyFileName(wchar_t* destination, const wchar_t* source)
{
    if (FAILED(StringCchCopyW(destination, PathLimit, source)))
        LogError(L"Error copying a file name.");
}

// The file name the scan position refers to.
static void SetScanFileName(const wchar_t* name)
{
    FreeText(&MonitorSettings->FileName);
    CopyAllocate(name, &MonitorSettings->FileName);
}

// "MMDDYYYY.Log" and nothing else: the stored FILENAME comes from the
// registry, and only a bare day-file name may lead to a reading in the log
// folder.
static BOOL IsDayFileName(const wchar_t* name)
{
    for (int i = 0; i < DayFileNameLength - 4; ++i) {
        if (name[i] < L'0' || name[i] > L'9')
            return FALSE;
    }
    return lstrcmpiW(name + DayFileNameLength - 4, L".Log") == 0;
}

static BOOL FileExists(const wchar_t* path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// Failed last readings of a previous day's file in a row (watcher thread
// only). After about a minute of tries today's file goes first: a previous
// file that can't be read must not hold up the monitoring for good.
enum { PreviousDayReadingTries = 12 };
static int FailedPreviousDayReadings = 0;

// Moves the scan position on to the day file dayName. While it still names
// another day's file that exists, that file is read a last time first, as a
// finished file: lines written to it after its last reading (around
// midnight, or while QARLOV did not run) and a last line without its line
// feed are handled and saved under that file's name. FALSE when that
// reading failed; the position then stays with the previous day's file, so
// that the next try reads it again instead of passing its lines over.
static BOOL MoveScanToDay(const wchar_t* directory, const wchar_t* dayName)
{
    const wchar_t* scanFileName = MonitorSettings->FileName;
    if (scanFileName != NULL && lstrcmpW(scanFileName, dayName) == 0)
        return TRUE;
    if (scanFileName != NULL && IsDayFileName(scanFileName)) {
        wchar_t path[PathLimit];
        CombinePath(directory, scanFileName, path);
        if (FileExists(path) && !ReadFinishedLogFile(path)) {
            if (++FailedPreviousDayReadings < PreviousDayReadingTries)
                return FALSE;
            LogMessage(LogLevelWarning, L"The log file %s of a previous day could not be read. Its remaining lines "
                                        L"are not handled.",
                       scanFileName);
        }
    }
    FailedPreviousDayReadings = 0;
    // A new day's file starts a new run of instances, and is read from its
    // beginning. The stored time stamp stays, so older lines are still
    // passed over.
    MonitorSettings->Instance = 0;
    MonitorSettings->Offset = 0;
    SetScanFileName(dayName);
    return TRUE;
}

BOOL ProcessTodaysLogFile(void)
{
    wchar_t directory[DirectoryCapacity];
    GetDirectory(directory, DirectoryCapacity);
    wchar_t dayName[PathLimit];
    FormatDayFileName(dayName);
    if (!MoveScanToDay(directory, dayName))
        return FALSE;
    wchar_t path[PathLimit];
    CombinePath(directory, dayName, path);
    // A day file that does not exist yet is nothing to try again: its first
    // line brings a change or a record of its own.
    return ReadLogFile(path) || !FileExists(path);
}

BOOL CheckLogFileChange(const wchar_t* path, const wchar_t* fileName, LogFileState* lastSeen)
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
        return TRUE;
    if (found.LastWriteTime.dwLowDateTime == 0 && found.LastWriteTime.dwHighDateTime == 0) {
        *lastSeen = found;
        return TRUE;
    }
    LogMessage(LogLevelInformation, L"File %s changed.", fileName);
    // Remembered only once read: after a failed reading the file still
    // counts as changed.
    if (!ReadLogFile(path))
        return FALSE;
    *lastSeen = found;
    return TRUE;
}

BOOL OnLogDirectoryChange(wchar_t* currentFileName, const wchar_t* directory, LogFileState* lastSeen)
{
    wchar_t dayName[PathLimit];
    FormatDayFileName(dayName);
    if (!MoveScanToDay(directory, dayName))
        return FALSE;
    // The first notification, or the first of a new day: the day file is
    // read whatever was remembered.
    if (lstrcmpW(currentFileName, dayName) != 0) {
        ZeroMemory(lastSeen, sizeof(*lastSeen));
        CopyFileName(currentFileName, dayName);
    }
    wchar_t path[PathLimit];
    CombinePath(directory, dayName, path);
    return CheckLogFileChange(path, dayName, lastSeen);
}

static HANDLE WatchLogDirectory(const wchar_t* directory)
{
    HANDLE change = FindFirstChangeNotificationW(directory, FALSE, FILE_NOTIFY_CHANGE_LAST_WRITE);
    if (change == INVALID_HANDLE_VALUE)
        LogError(L"File handle for FindFirstChangeNotification invalid.");
    if (change == NULL)
        LogError(L"Unexpected NULL from FindFirstChangeNotification.");
    return change;
}

// Serves folder changes until a stop is requested. After a failed reading
// the wait ends after a few seconds at the latest, to read again.
static void WaitForLogChanges(HANDLE change, const wchar_t* directory, BOOL retryReading)
{
    wchar_t currentFileName[PathLimit] = L"";
    LogFileState lastSeen;
    ZeroMemory(&lastSeen, sizeof(lastSeen));
    for (;;) {
        WaitOutcome outcome = WaitForChangeOrShutDown(change, retryReading ? ReadingRetryInterval : INFINITE);
        if (outcome == WaitStopped)
            return;
        // Re-armed first, so that changes made while the file is being
        // processed raise the next notification.
        if (outcome == WaitSignalled && !FindNextChangeNotification(change))
            LogError(L"FindNextChangeNotification function failed.");
        retryReading = !OnLogDirectoryChange(currentFileName, directory, &lastSeen);
    }
}

void WatchLogFile(void)
{
    // First of all: a stop requested during the reading at start ends it.
    if (!CreateShutDownEvent())
        LogError(L"Could not create ShutDownEvent in WatchLogFile.");
    wchar_t directory[DirectoryCapacity];
    GetDirectory(directory, DirectoryCapacity);
    // Armed before the first reading: a line written while the day file is
    // read at start raises a notification, instead of waiting unseen for
    // the next change of the file.
    HANDLE change = WatchLogDirectory(directory);
    BOOL retryReading = !ProcessTodaysLogFile();

    LogMessage(LogLevelInformation, L"Monitoring directory %s\n", directory);
    WaitForLogChanges(change, directory, retryReading);

    LogMessage(LogLevelInformation, L"Shutting down log file monitor routine. QARLOV is about to stop.");
    if (!FindCloseChangeNotification(change))
        LogMessage(LogLevelInformation,
                   L"Error in FindCloseChangeNotification. This can be ignored safely - QARLOV is shutting down anyway.");
    AcknowledgeShutDown();
}
