// Shared helpers of the log-monitoring tests: the rule and scan position in
// the settings, the scan position in the registry, the Message action as a
// witness of the lines whose actions ran, and antivirus log lines.
#pragma once
#include <windows.h>
#include "config/settings.h"
#include "config/strings.h"
#include "core/runstate.h"
#include "monitor/logwatcher.h"
#include "tests/unit/test_support.h"
#include <stdio.h>
#include <strsafe.h>
#include <regex>
#include <string>
#include <vector>

namespace monitor_fixture {

// The reader's warning when the day file can't be opened.
const char* const GiveUpWarning =
    "Read operation aborted after 20 unsuccessful tries with a random waiting interval in between.";

// 17 May 2023, 14:30:05 and the seconds around it, as antivirus time fields.
const char* const Stamp0 = "3504110E1E00";
const char* const Stamp4 = "3504110E1E04";
const char* const Stamp5 = "3504110E1E05";
const char* const Stamp6 = "3504110E1E06";
const char* const Stamp7 = "3504110E1E07";
const char* const Stamp8 = "3504110E1E08";

inline int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

// A 12-digit time stamp decoded the way the program decodes it.
inline SYSTEMTIME TimeFromStamp(const char* stamp)
{
    int pairs[6];
    for (int i = 0; i < 6; ++i)
        pairs[i] = HexValue(stamp[2 * i]) * 16 + HexValue(stamp[2 * i + 1]);
    SYSTEMTIME time = {};
    time.wYear = (WORD)(pairs[0] + 1970);
    time.wMonth = (WORD)(pairs[1] + 1);
    time.wDay = (WORD)pairs[2];
    time.wHour = (WORD)pairs[3];
    time.wMinute = (WORD)pairs[4];
    time.wSecond = (WORD)pairs[5];
    return time;
}

inline void SetStoredPosition(const char* stamp, DWORD instance)
{
    MonitorSettingsRecord* settings = MonitorSettings;
    settings->Instance = instance;
    FreeText(&settings->TimeStamp);
    CopyAllocate(Widen(stamp).c_str(), &settings->TimeStamp);
    settings->TimeStampTime = TimeFromStamp(stamp);
}

inline void SetScanFileName(const wchar_t* name)
{
    FreeText(&MonitorSettings->FileName);
    CopyAllocate(name, &MonitorSettings->FileName);
}

// Fresh settings: rule 51/1/2, strategy 0, file 05172023.Log, position
// (1 January 1970, 0), no actions.
inline void ResetMonitorRule(void)
{
    ResetMonitorSettings();
    MonitorSettingsRecord* settings = MonitorSettings;
    settings->Event = 51;
    settings->Cat = 1;
    settings->Logger = 2;
    settings->ActionStrategy = 0;
    SetScanFileName(L"05172023.Log");
    SetStoredPosition("000001000000", 0);
}

// The texts of the WARNING lines in console output, without the system's
// last-error tail (which brings a CR LF of its own).
inline std::vector<std::string> WarningTexts(const std::string& output)
{
    static const std::regex warning("  WARNING  (.*?)(?: -> [^\\r\\n]*)?\\r*\\n");
    std::vector<std::string> texts;
    for (std::sregex_iterator it(output.begin(), output.end(), warning), end; it != end; ++it)
        texts.push_back((*it)[1].str());
    return texts;
}

struct RegistryPosition {
    DWORD Instance;
    std::wstring TimeStamp;
    std::wstring FileName;
    bool operator==(const RegistryPosition& other) const
    {
        return Instance == other.Instance && TimeStamp == other.TimeStamp && FileName == other.FileName;
    }
};

inline void PrintTo(const RegistryPosition& position, std::ostream* os)
{
    *os << "{" << position.Instance << ", \"";
    for (wchar_t c : position.TimeStamp)
        *os << (char)c;
    *os << "\", \"";
    for (wchar_t c : position.FileName)
        *os << (char)c;
    *os << "\"}";
}

// Written before a test, so that a test can tell whether anything was saved.
const RegistryPosition SentinelPosition = { 0xDEAD, L"sentinel", L"sentinel.Log" };

// The program's key in the view the program uses.
inline REGSAM ProgramView(void)
{
    return ProgramKeyAccess(0);
}

inline void WriteRegistryPosition(const RegistryPosition& position)
{
    SetTestNumber(QARLOV_KEY, L"INSTANCE", position.Instance, ProgramView());
    SetTestText(QARLOV_KEY, L"TIMESTAMP", position.TimeStamp, ProgramView());
    SetTestText(QARLOV_KEY, L"FILENAME", position.FileName, ProgramView());
}

// A text up to its terminator, or "<missing>".
inline std::wstring ReadRegistryText(const wchar_t* name)
{
    std::wstring text;
    if (!QueryTestText(QARLOV_KEY, name, ProgramView(), &text))
        return L"<missing>";
    return text.c_str();
}

// OFFSET, or 0 when it is missing.
inline ULONGLONG ReadRegistryOffset(void)
{
    ULONGLONG offset = 0;
    TestValue value = QueryTestValue(QARLOV_KEY, L"OFFSET", ProgramView());
    if (value.Result == ERROR_SUCCESS && value.Type == REG_QWORD && value.Data.size() == sizeof(offset))
        memcpy(&offset, value.Data.data(), sizeof(offset));
    return offset;
}

inline RegistryPosition ReadRegistryPosition(void)
{
    RegistryPosition position = { 0, ReadRegistryText(L"TIMESTAMP"), ReadRegistryText(L"FILENAME") };
    QueryTestNumber(QARLOV_KEY, L"INSTANCE", ProgramView(), &position.Instance);
    return position;
}

// A complete antivirus log line (fields 1 to 12 and a description), CR LF
// terminated.
inline std::string LogLine(const char* stamp, const char* computer = "HOST01", int event = 51, int category = 1,
                           int logger = 2)
{
    char line[512];
    snprintf(line, sizeof(line),
             "%s,%d,%d,%d,%s,alice,EICAR Test String,C:\\Users\\alice\\eicar.com,1,3,4,1,0,\"Detection\"\r\n",
             stamp, event, category, logger, computer);
    return line;
}

// A fresh temporary folder (with a final backslash) for log files.
inline std::wstring MakeTemporaryFolder(const wchar_t* prefix)
{
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static LONG made = 0;
    wchar_t folder[MAX_PATH];
    StringCchPrintfW(folder, MAX_PATH, L"%s%s%lu_%lu_%ld\\", base, prefix, GetCurrentProcessId(), GetTickCount(),
                     InterlockedIncrement(&made));
    CreateDirectoryW(folder, NULL);
    return folder;
}

inline void WriteBytes(const std::wstring& path, const std::string& bytes, DWORD disposition = CREATE_ALWAYS)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, disposition, FILE_ATTRIBUTE_NORMAL, NULL);
    if (disposition == OPEN_ALWAYS)
        SetFilePointer(file, 0, NULL, FILE_END);
    DWORD written = 0;
    if (!bytes.empty())
        WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, NULL);
    CloseHandle(file);
}

inline void AppendBytes(const std::wstring& path, const std::string& bytes)
{
    WriteBytes(path, bytes, OPEN_ALWAYS);
}

// The day file's name for the local date now, or for a day that many days
// later (earlier when negative), as the watcher forms it.
inline std::wstring DayFileName(int days)
{
    SYSTEMTIME date;
    GetLocalTime(&date);
    FILETIME time;
    SystemTimeToFileTime(&date, &time);
    ULARGE_INTEGER ticks = { { time.dwLowDateTime, time.dwHighDateTime } };
    ticks.QuadPart += (LONGLONG)days * 864000000000LL;
    time.dwLowDateTime = ticks.LowPart;
    time.dwHighDateTime = ticks.HighPart;
    FileTimeToSystemTime(&time, &date);
    wchar_t name[32];
    StringCchPrintfW(name, 32, L"%02u%02u%04u.Log", date.wMonth, date.wDay, date.wYear);
    return name;
}

inline std::wstring TodaysFileName(void)
{
    return DayFileName(0);
}

// A thread that runs the log-file watcher.
inline unsigned __stdcall RunWatchLogFile(void*)
{
    WatchLogFile();
    return 0;
}

inline void SetLogDirectory(const std::wstring& folder)
{
    FreeText(&MonitorSettings->SEPLogDir);
    CopyAllocate(folder.c_str(), &MonitorSettings->SEPLogDir);
}

}  // namespace monitor_fixture
