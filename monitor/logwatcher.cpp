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

// CatchUpDays: how many days back the day files are read after an outage.
enum { DayFileNameLength = 12, CatchUpDays = 31 };

// A FILETIME's ticks in a day: dates are counted in days since 1601.
static const ULONGLONG TicksPerDay = 864000000000ull;

void FormatDayFileName(const SYSTEMTIME* date, wchar_t* name)
{
    if (FAILED(StringCchPrintfW(name, PathLimit, L"%.2u%.2u%.4u.Log", date->wMonth, date->wDay, date->wYear)))
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

// The number of a date's day, FALSE when there is no such date.
static BOOL DayNumberOf(WORD year, WORD month, WORD day, LONG* number)
{
    SYSTEMTIME midnight;
    ZeroMemory(&midnight, sizeof(midnight));
    midnight.wYear = year;
    midnight.wMonth = month;
    midnight.wDay = day;
    FILETIME time;
    if (!SystemTimeToFileTime(&midnight, &time))
        return FALSE;
    ULARGE_INTEGER ticks;
    ticks.LowPart = time.dwLowDateTime;
    ticks.HighPart = time.dwHighDateTime;
    *number = (LONG)(ticks.QuadPart / TicksPerDay);
    return TRUE;
}

static WORD DecimalDigits(const wchar_t* digits, int count)
{
    WORD value = 0;
    for (int i = 0; i < count; ++i)
        value = (WORD)(value * 10 + (digits[i] - L'0'));
    return value;
}

// The day a day file's name stands for; FALSE for another name, or for
// digits that give no date.
static BOOL DayNumberOfFileName(const wchar_t* name, LONG* number)
{
    return name != NULL && IsDayFileName(name) &&
           DayNumberOf(DecimalDigits(name + 4, 4), DecimalDigits(name, 2), DecimalDigits(name + 2, 2), number);
}

static void FormatDayFileNameOf(LONG number, wchar_t* name)
{
    ULARGE_INTEGER ticks;
    ticks.QuadPart = (ULONGLONG)number * TicksPerDay;
    FILETIME time = { ticks.LowPart, ticks.HighPart };
    SYSTEMTIME date;
    FileTimeToSystemTime(&time, &date);
    FormatDayFileName(&date, name);
}

static BOOL FileExists(const wchar_t* path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// Failed last readings of a previous day's file in a row (watcher thread
// only). After about a minute of tries the next file goes first: a previous
// file that can't be read must not hold up the monitoring for good.
enum { PreviousDayReadingTries = 12 };
static int FailedPreviousDayReadings = 0;

// Reads the file the scan position names, a day file of another day, a last
// time as a finished file: lines written to it after its last reading
// (around midnight, or while QARLOV did not run) and a last line without
// its line feed are handled and saved under that file's name. FALSE when
// that reading failed and is to be tried again.
static BOOL FinishDayFile(const wchar_t* directory, const wchar_t* name)
{
    if (name == NULL || !IsDayFileName(name))
        return TRUE;
    wchar_t path[PathLimit];
    CombinePath(directory, name, path);
    if (FileExists(path) && !ReadFinishedLogFile(path)) {
        if (++FailedPreviousDayReadings < PreviousDayReadingTries)
            return FALSE;
        LogMessage(LogLevelWarning, L"The log file %s of a previous day could not be read. Its remaining lines "
                                    L"are not handled.",
                   name);
    }
    FailedPreviousDayReadings = 0;
    return TRUE;
}

// The first day file from day first on, before today, that exists; today's
// file dayName when there is none.
static void FindNextDayFile(const wchar_t* directory, LONG first, LONG today, const wchar_t* dayName,
                            wchar_t* name)
{
    for (LONG day = first; day < today; ++day) {
        FormatDayFileNameOf(day, name);
        wchar_t path[PathLimit];
        CombinePath(directory, name, path);
        if (FileExists(path))
            return;
    }
    CopyFileName(name, dayName);
}

// Moves the scan position on to today's file dayName. While it names
// another day's file, that file is finished first; then every day file
// since, in date order and at most 31 days back, is read as a finished file
// in turn, and at last today's. Each file is named in the position while it
// is read, so that a stop or a kill goes on where it was. A new day's file
// starts a new run of instances and is read from its beginning; the stored
// time stamp stays, so older lines are still passed over. FALSE when a
// reading failed: the position stays with that file, so that the next try
// reads it again instead of passing its lines over.
static BOOL MoveScanToDay(const wchar_t* directory, const SYSTEMTIME* now, const wchar_t* dayName)
{
    LONG today = 0;
    DayNumberOf(now->wYear, now->wMonth, now->wDay, &today);  // the local time is a valid date
    for (;;) {
        const wchar_t* scanFileName = MonitorSettings->FileName;
        if (scanFileName != NULL && lstrcmpW(scanFileName, dayName) == 0)
            return TRUE;
        LONG scanDay = 0, nextDay = today;
        BOOL dated = DayNumberOfFileName(scanFileName, &scanDay);
        if (dated && scanDay < today - CatchUpDays) {
            LogMessage(LogLevelWarning, L"The scan position names the log file %s, more than 31 days ago. Only the "
                                        L"day files of the last 31 days are read; the older ones are passed over.",
                       scanFileName);
            nextDay = today - CatchUpDays;
        } else {
            if (!FinishDayFile(directory, scanFileName))
                return FALSE;
            if (dated && scanDay < today)
                nextDay = scanDay + 1;
        }
        wchar_t nextName[PathLimit];
        FindNextDayFile(directory, nextDay, today, dayName, nextName);
        MonitorSettings->Instance = 0;
        MonitorSettings->Offset = 0;
        SetScanFileName(nextName);
    }
}

BOOL ProcessTodaysLogFile(void)
{
    wchar_t directory[DirectoryCapacity];
    GetDirectory(directory, DirectoryCapacity);
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t dayName[PathLimit];
    FormatDayFileName(&now, dayName);
    if (!MoveScanToDay(directory, &now, dayName))
        return FALSE;
    wchar_t path[PathLimit];
    CombinePath(directory, dayName, path);
    // A day file that does not exist yet is nothing to try again: its first
    // line brings a change or a record of its own.
    return ReadLogFile(path);
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
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t dayName[PathLimit];
    FormatDayFileName(&now, dayName);
    if (!MoveScanToDay(directory, &now, dayName))
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
