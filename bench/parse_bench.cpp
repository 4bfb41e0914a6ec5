// Parsing speed: ProcessFileContent over generated day files of 1, 10 and
// 100 MB (all lines old, one new matching line at the end) against a plain
// memchr count of the line feeds of the same buffer, side by side.
//
//   bench_parse.exe [--reps N] [MEGABYTES...]      default: 1 10 100
//
// Repetitions alternate which of the two goes first; medians are reported.
// The one new line writes the scan position to HKLM\SOFTWARE\kestu\QARLOV,
// which is created first. Exit code 1 when the parser's result is wrong.
#include "bench/daylog.h"
#include "config/settings.h"
#include "config/strings.h"
#include "config/timestamp.h"
#include "core/console.h"
#include "core/platform.h"
#include "core/runstate.h"
#include "monitor/logparser.h"
#include <windows.h>
#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

namespace {

const double TargetRatio = 3.0;

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

void ConfigureRule(void)
{
    MonitorSettingsRecord* settings = MonitorSettings;
    settings->Event = BenchEvent;
    settings->Cat = BenchCategory;
    settings->Logger = BenchLogger;
    settings->ActionStrategy = 0;
    settings->DebugOutput = 0;
    CopyAllocate(L"bench.Log", &settings->FileName);
}

void SetPosition(const wchar_t* timeStamp)
{
    MonitorSettingsRecord* settings = MonitorSettings;
    settings->Instance = 0;
    ParseTimeStamp(timeStamp, &settings->TimeStampTime);
    FreeText(&settings->TimeStamp);
    CopyAllocate(timeStamp, &settings->TimeStamp);
}

bool PositionIs(const wchar_t* timeStamp)
{
    const MonitorSettingsRecord* settings = MonitorSettings;
    SYSTEMTIME expected;
    ParseTimeStamp(timeStamp, &expected);
    const SYSTEMTIME& actual = settings->TimeStampTime;
    return settings->Instance == 0 && actual.wYear == expected.wYear && actual.wMonth == expected.wMonth &&
           actual.wDay == expected.wDay && actual.wHour == expected.wHour && actual.wMinute == expected.wMinute &&
           actual.wSecond == expected.wSecond;
}

size_t CountLineFeeds(const char* content, size_t size)
{
    size_t count = 0;
    const char* end = content + size;
    for (const char* p = content; (p = (const char*)memchr(p, '\n', (size_t)(end - p))) != NULL; ++p)
        ++count;
    return count;
}

double TimeParse(const char* content)
{
    SetPosition(L"" BENCH_STORED_POSITION);
    double start = Seconds();
    ProcessFileContent(content);
    return Seconds() - start;
}

// The old lines alone move nothing; with the new line the position is that
// line's, instance 0.
bool CheckResult(std::string& content, size_t oldSize)
{
    char saved = content[oldSize];
    content[oldSize] = '\0';
    TimeParse(content.c_str());
    bool oldLinesSkipped = PositionIs(L"" BENCH_STORED_POSITION);
    content[oldSize] = saved;
    TimeParse(content.c_str());
    bool newLineHandled = PositionIs(L"" BENCH_NEW_LINE_TIME);
    if (!oldLinesSkipped || !newLineHandled)
        fprintf(stderr, "wrong scan position: old lines skipped %d, new line handled %d\n", oldLinesSkipped,
                newLineHandled);
    return oldLinesSkipped && newLineHandled;
}

int DefaultRepetitions(size_t megabytes)
{
    return megabytes <= 1 ? 101 : megabytes <= 10 ? 41 : 11;
}

// One size: returns false when the parser's result is wrong; ratio receives
// the median parse time over the median count time.
bool BenchmarkSize(size_t megabytes, int repetitions, double* ratio)
{
    std::string content;
    content.reserve(megabytes * 1048576 + 1024);
    AppendOldLines(content, megabytes * 1048576 - 400, (unsigned int)megabytes);
    size_t oldSize = content.size();
    content += NewMatchingLine();
    if (!CheckResult(content, oldSize))
        return false;

    std::vector<double> counting, parsing;
    size_t lines = 0;
    for (int i = 0; i < repetitions; ++i) {
        bool countFirst = i % 2 == 0;
        if (!countFirst)
            parsing.push_back(TimeParse(content.c_str()));
        double start = Seconds();
        lines = CountLineFeeds(content.data(), content.size());
        counting.push_back(Seconds() - start);
        if (countFirst)
            parsing.push_back(TimeParse(content.c_str()));
    }
    double count = Median(counting), parse = Median(parsing);
    double mb = (double)content.size() / 1048576.0;
    *ratio = parse / count;
    printf("%7.1f MB %8u lines %4d reps   memchr %9.3f ms (%6.0f MB/s)   parse %9.3f ms (%6.0f MB/s)   ratio %.2f\n",
           mb, (unsigned int)lines, repetitions, count * 1000, mb / count, parse * 1000, mb / parse, *ratio);
    fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    SetConsoleModeCache(TRUE);
    MonitorSettings = CreateMonitorSettings();
    DetectWindowsVersion();
    if (!CreateProgramKey())
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
    for (size_t megabytes : sizes) {
        if (megabytes == 0 || !BenchmarkSize(megabytes, repetitions > 0 ? repetitions : DefaultRepetitions(megabytes), &ratio))
            return 1;
    }
    printf("target: parse <= %.0fx memchr on the largest file: %s (%.2f)\n", TargetRatio,
           ratio <= TargetRatio ? "met" : "NOT met", ratio);
    return 0;
}
