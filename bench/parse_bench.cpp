// The first reading of a day file against a plain read of it: ReadLogFile
// over generated day files of 1, 10 and 100 MB on disk (all lines old, one
// new matching line at the end), with a scan position that has no offset,
// so the whole file is read from its beginning in pieces; against a plain
// read of the same file in pieces of the same size (CreateFileW, ReadFile)
// with a memchr count of the line feeds of each piece. For the break-down,
// ProcessFileContent over the same bytes in memory is timed as well.
//
//   bench_parse.exe [--reps N] [MEGABYTES...]      default: 1 10 100
//
// Repetitions rotate which of the three goes first; medians are reported.
// The files are written to the temporary folder and deleted afterwards. The
// one new line writes the scan position to HKLM\SOFTWARE\kestu\QARLOV,
// which is created first. Exit code 1 when a reading ends anywhere but at
// the expected position.
#include "bench/daylog.h"
#include "config/settings.h"
#include "config/strings.h"
#include "config/timestamp.h"
#include "core/console.h"
#include "core/platform.h"
#include "core/runstate.h"
#include "monitor/logparser.h"
#include "monitor/logreader.h"
#include <windows.h>
#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

const double TargetRatio = 1.5;

double Seconds(void)
{
    static LARGE_INTEGER frequency = { { 0, 0 } };
    LARGE_INTEGER now;
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart / (double)frequency.QuadPart;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

bool CreateProgramKey(void)
{
    HKEY key = NULL;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, QARLOV_KEY, 0, NULL, 0, ProgramKeyAccess(KEY_WRITE), NULL,
                                     &key, NULL);
    if (status != ERROR_SUCCESS) {
        fprintf(stderr, "cannot create HKLM\\%ls (error %ld)\n", QARLOV_KEY, (long)status);
        return false;
    }
    RegCloseKey(key);
    return true;
}

// OFFSET as stored in the registry, or ~0 when it cannot be read.
ULONGLONG StoredOffset(void)
{
    ULONGLONG offset = ~0ULL;
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, QARLOV_KEY, 0, ProgramKeyAccess(KEY_QUERY_VALUE), &key) != ERROR_SUCCESS)
        return offset;
    DWORD type = 0, size = sizeof(offset);
    if (RegQueryValueExW(key, L"OFFSET", NULL, &type, (BYTE*)&offset, &size) != ERROR_SUCCESS || type != REG_QWORD)
        offset = ~0ULL;
    RegCloseKey(key);
    return offset;
}

void ConfigureRule(void)
{
    MonitorSettingsRecord* settings = MonitorSettings;
    settings->Event = BenchEvent;
    settings->Cat = BenchCategory;
    settings->Logger = BenchLogger;
    settings->ActionStrategy = 0;
    settings->WaitBeforeAction = 0;
    settings->DebugOutput = 0;
    CopyAllocate(L"bench.Log", &settings->FileName);
}

// The stored time stamp, instance 0 and no offset: the next reading starts
// at the file's beginning.
void ResetPosition(void)
{
    MonitorSettingsRecord* settings = MonitorSettings;
    settings->Instance = 0;
    settings->Offset = 0;
    settings->OffsetCheck = 0;
    ParseTimeStamp(L"" BENCH_STORED_POSITION, &settings->TimeStampTime);
    FreeText(&settings->TimeStamp);
    CopyAllocate(L"" BENCH_STORED_POSITION, &settings->TimeStamp);
}

bool PositionIs(const wchar_t* timeStamp, ULONGLONG offset)
{
    const MonitorSettingsRecord* settings = MonitorSettings;
    SYSTEMTIME expected;
    ParseTimeStamp(timeStamp, &expected);
    const SYSTEMTIME& actual = settings->TimeStampTime;
    return settings->Instance == 0 && actual.wYear == expected.wYear && actual.wMonth == expected.wMonth &&
           actual.wDay == expected.wDay && actual.wHour == expected.wHour && actual.wMinute == expected.wMinute &&
           actual.wSecond == expected.wSecond && settings->Offset == offset && StoredOffset() == offset;
}

bool WriteFileContent(const wchar_t* path, const char* data, size_t size)
{
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, data, (DWORD)size, &written, NULL) && written == size;
    return CloseHandle(file) && ok;
}

size_t CountLineFeeds(const char* content, size_t size)
{
    size_t count = 0;
    const char* end = content + size;
    for (const char* p = content; (p = (const char*)memchr(p, '\n', (size_t)(end - p))) != NULL; ++p)
        ++count;
    return count;
}

// The plain read: the file in pieces of the reader's size, each piece's
// line feeds counted. *readSeconds receives the time spent in ReadFile.
size_t ReadAndCountLineFeeds(const wchar_t* path, double* readSeconds)
{
    size_t pieceBytes = LogReadingLimits.PieceBytes;
    char* piece = (char*)malloc(pieceBytes);
    HANDLE file = CreateFileW(path, FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    size_t count = 0;
    *readSeconds = 0;
    for (DWORD got = 1; piece != NULL && file != INVALID_HANDLE_VALUE && got > 0;) {
        double start = Seconds();
        if (!ReadFile(file, piece, (DWORD)pieceBytes, &got, NULL))
            got = 0;
        *readSeconds += Seconds() - start;
        count += CountLineFeeds(piece, got);
    }
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    free(piece);
    return count;
}

bool FirstReading(const wchar_t* path)
{
    ResetPosition();
    return ReadLogFile(path) != FALSE;
}

double TimeFirstReading(const wchar_t* path)
{
    ResetPosition();
    double start = Seconds();
    ReadLogFile(path);
    return Seconds() - start;
}

double TimeProcessFileContent(const char* content)
{
    ResetPosition();
    double start = Seconds();
    ProcessFileContent(content);
    return Seconds() - start;
}

// The old lines alone move the offset to their end and nothing else; with
// the new line the position is that line's, instance 0, and the offset the
// file's size. Leaves the whole content in the file.
bool CheckFirstReading(const wchar_t* path, const std::string& content, size_t oldSize)
{
    bool oldLinesSkipped = WriteFileContent(path, content.data(), oldSize) && FirstReading(path) &&
                           PositionIs(L"" BENCH_STORED_POSITION, oldSize);
    bool newLineHandled = WriteFileContent(path, content.data(), content.size()) && FirstReading(path) &&
                          PositionIs(L"" BENCH_NEW_LINE_TIME, content.size());
    if (!oldLinesSkipped || !newLineHandled)
        fprintf(stderr, "wrong scan position after ReadLogFile: old lines skipped %d, new line handled %d\n",
                oldLinesSkipped, newLineHandled);
    return oldLinesSkipped && newLineHandled;
}

int DefaultRepetitions(size_t megabytes)
{
    return megabytes <= 1 ? 101 : megabytes <= 10 ? 41 : 11;
}

typedef struct Timings {
    std::vector<double> Plain, PlainRead, Reading, InMemory;
} Timings;

// One repetition: the three measurements, in an order rotated by number.
size_t Repeat(int number, const wchar_t* path, const std::string& content, Timings* timings)
{
    size_t lines = 0;
    for (int turn = 0; turn < 3; ++turn) {
        switch ((number + turn) % 3) {
        case 0: {
            double readSeconds = 0, start = Seconds();
            lines = ReadAndCountLineFeeds(path, &readSeconds);
            timings->Plain.push_back(Seconds() - start);
            timings->PlainRead.push_back(readSeconds);
            break;
        }
        case 1:
            timings->Reading.push_back(TimeFirstReading(path));
            break;
        default:
            timings->InMemory.push_back(TimeProcessFileContent(content.c_str()));
            break;
        }
    }
    return lines;
}

// One size: returns false when a reading ends at a wrong position; ratio
// receives the median first reading over the median plain read.
bool BenchmarkSize(const wchar_t* path, size_t megabytes, int repetitions, double* ratio)
{
    std::string content;
    content.reserve(megabytes * 1048576 + 1024);
    AppendOldLines(content, megabytes * 1048576 - 400, (unsigned int)megabytes);
    size_t oldSize = content.size();
    content += NewMatchingLine();
    if (!CheckFirstReading(path, content, oldSize))
        return false;

    Timings timings;
    size_t lines = 0;
    for (int i = 0; i < repetitions; ++i)
        lines = Repeat(i, path, content, &timings);
    double plain = Median(timings.Plain), reading = Median(timings.Reading);
    double mb = (double)content.size() / 1048576.0;
    *ratio = reading / plain;
    printf("%7.1f MB %8u lines %4d reps   read+memchr %8.2f ms (%5.0f MB/s; ReadFile %7.2f ms)   "
           "ReadLogFile %8.2f ms (%5.0f MB/s)   ratio %.2f   in memory: ProcessFileContent %8.2f ms\n",
           mb, (unsigned int)lines, repetitions, plain * 1000, mb / plain, Median(timings.PlainRead) * 1000,
           reading * 1000, mb / reading, *ratio, Median(timings.InMemory) * 1000);
    fflush(stdout);
    return true;
}

// A new file in the temporary folder; path holds MAX_PATH characters.
bool CreateBenchFile(wchar_t* path)
{
    wchar_t folder[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, folder);
    return length > 0 && length < MAX_PATH && GetTempFileNameW(folder, L"qbp", 0, path) != 0;
}

}  // namespace

int main(int argc, char** argv)
{
    SetConsoleModeCache(TRUE);
    MonitorSettings = CreateMonitorSettings();
    DetectWindowsVersion();
    wchar_t path[MAX_PATH];
    if (!CreateProgramKey() || !CreateBenchFile(path))
        return 1;
    ConfigureRule();

    int repetitions = 0;
    std::vector<size_t> sizes;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--reps") == 0 && i + 1 < argc)
            repetitions = atoi(argv[++i]);
        else
            sizes.push_back((size_t)strtoul(argv[i], NULL, 10));
    }
    if (sizes.empty())
        sizes = { 1, 10, 100 };

    double ratio = 0;
    bool ok = true;
    for (size_t i = 0; ok && i < sizes.size(); ++i) {
        size_t megabytes = sizes[i];
        ok = megabytes > 0 &&
             BenchmarkSize(path, megabytes, repetitions > 0 ? repetitions : DefaultRepetitions(megabytes), &ratio);
    }
    DeleteFileW(path);
    if (!ok)
        return 1;
    printf("target: first reading <= %.1fx read+memchr on the largest file: %s (%.2f)\n", TargetRatio,
           ratio <= TargetRatio ? "met" : "NOT met", ratio);
    return 0;
}
