// A fresh installation starts from now. Importing the example configuration,
// or installing from a deployment tool, would otherwise run every action for
// every matching line that is already in today's day file.
#include "monitor/freshstart.h"
#include "config/scanposition.h"
#include "config/settings.h"
#include "config/strings.h"
#include "core/limits.h"
#include "core/log.h"
#include "monitor/logwatcher.h"
#include <string.h>

static const DWORD TailChunkBytes = 4096;

static BOOL ReadAt(HANDLE file, ULONGLONG offset, char* bytes, DWORD count)
{
    LARGE_INTEGER position;
    position.QuadPart = (LONGLONG)offset;
    DWORD bytesRead = 0;
    return SetFilePointerEx(file, position, NULL, FILE_BEGIN) && ReadFile(file, bytes, count, &bytesRead, NULL) &&
           bytesRead == count;
}

// The offset just after the last line feed before end: the end of the last
// complete line (a line still being written comes after it); 0 when there is
// none. The file is searched from its end, a chunk at a time.
static BOOL FindEndOfLastLine(HANDLE file, ULONGLONG end, ULONGLONG* lineEnd)
{
    char chunk[TailChunkBytes];
    while (end > 0) {
        DWORD count = end < TailChunkBytes ? (DWORD)end : TailChunkBytes;
        ULONGLONG start = end - count;
        if (!ReadAt(file, start, chunk, count))
            return FALSE;
        for (DWORD i = count; i > 0; --i) {
            if (chunk[i - 1] == '\n') {
                *lineEnd = start + i;
                return TRUE;
            }
        }
        end = start;
    }
    *lineEnd = 0;
    return TRUE;
}

// Where the day file's complete lines end, with the bytes before that the
// offset check covers (bytesBefore: OffsetCheckBytes). FALSE when the file
// exists but can't be read; a file that doesn't exist yet ends at 0.
static BOOL FindDecodedEnd(const wchar_t* path, DecodedEnd* end, char* bytesBefore)
{
    ZeroMemory(end, sizeof(*end));
    end->BytesBefore = bytesBefore;
    HANDLE file = CreateFileW(path, FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    LARGE_INTEGER size;
    BOOL found = GetFileSizeEx(file, &size) && FindEndOfLastLine(file, (ULONGLONG)size.QuadPart, &end->Offset);
    if (found) {
        end->ByteCount = CheckedBytesBefore(end->Offset);
        found = end->ByteCount == 0 || ReadAt(file, end->Offset - end->ByteCount, bytesBefore, (DWORD)end->ByteCount);
    }
    CloseHandle(file);
    return found;
}

// The time stamp of the new position. Lines after the offset are new
// whatever their time; the time stamp counts only when the file is read
// from its beginning again. With lines already in the file that is now: a
// file rewritten later is read from the lines written after the start.
// Without any (no file yet) it is the earliest time, 1 January 1970: every
// line still to come is new.
static void StartingTime(ULONGLONG offset, BOOL readable, SYSTEMTIME* time)
{
    ZeroMemory(time, sizeof(*time));
    if (offset > 0 || !readable) {
        GetLocalTime(time);
        time->wMilliseconds = 0;
        time->wDayOfWeek = 0;
        return;
    }
    time->wYear = 1970;
    time->wMonth = 1;
    time->wDay = 1;
}

void StartWithoutScanPosition(void)
{
    MonitorSettingsRecord* settings = MonitorSettings;
    if (settings->TimeStamp != NULL)
        return;
    wchar_t directory[DirectoryCapacity], dayName[PathLimit], path[PathLimit];
    GetDirectory(directory, DirectoryCapacity);
    SYSTEMTIME today;
    GetLocalTime(&today);
    FormatDayFileName(&today, dayName);
    CombinePath(directory, dayName, path);

    char bytesBefore[OffsetCheckBytes];
    DecodedEnd end;
    // A file that can't be read now is read later from its beginning, and
    // the time stamp passes over what was written before the start.
    BOOL readable = FindDecodedEnd(path, &end, bytesBefore);
    if (!readable)
        ZeroMemory(&end, sizeof(end));
    SYSTEMTIME time;
    StartingTime(end.Offset, readable, &time);
    FreeText(&settings->FileName);
    CopyAllocate(dayName, &settings->FileName);
    SaveScanPosition(0, &time, &end);
    LogMessage(LogLevelInformation, L"No scan position in the registry: starting from now, at byte %I64u of the log "
                                    L"file %s.",
               end.Offset, path);
}
