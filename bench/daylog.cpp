#include "bench/daylog.h"
#include <windows.h>
#include <strsafe.h>
#include <string.h>

namespace {

// xorshift32: fast, deterministic, good enough for test data.
struct Random {
    unsigned int State;
    unsigned int Next()
    {
        State ^= State << 13;
        State ^= State >> 17;
        State ^= State << 5;
        return State;
    }
    unsigned int Below(unsigned int bound) { return Next() % bound; }
    template <size_t N> const char* Pick(const char* const (&items)[N]) { return items[Below(N)]; }
};

struct EventKind {
    int Event;
    int Category;
    int Logger;
    bool HasRisk;
    const char* Description;
};

// Scans, definition updates and detections as a busy endpoint logs them; the
// first entry is the benchmark rule and comes up about one line in eight.
const EventKind EventKinds[] = {
    { BenchEvent, BenchCategory, BenchLogger, true, "Security risk found!" },
    { 3, 2, 0, false, "Scan started on selected drives and folders and all extensions." },
    { 2, 2, 0, false, "Scan Complete:  Risks: 0   Scanned: 48213   Files/Folders/Drives Omitted: 12" },
    { 7, 3, 11, false, "New virus definition file loaded. Version: 230516018." },
    { 46, 1, 2, true, "Detection started for " },
    { 47, 1, 2, true, "Detection action taken for " },
    { 51, 1, 131173, true, "Security risk found!" },
    { 5, 1, 1, true, "Risk found: " },
    { 23, 4, 8, false, "Auto-Protect is loaded and enabled." },
    { 17, 2, 10, false, "Scan action changed automatically." },
    { 51, 1, 0, true, "Security risk found!" },
    { 14, 4, 9, false, "Startup scan finished." },
};

const char* const Computers[] = { "WKS-0142", "WKS-0897", "LAB-PC-07", "FINANCE-LT-22", "SRV-FILE01" };
const char* const Users[] = { "alice", "bob.mueller", "SYSTEM", "svc_backup", "c.nakamura", "jdoe" };
const char* const Risks[] = { "EICAR Test String", "Trojan.Gen.2", "WS.Reputation.1", "Heur.AdvML.B",
                              "PUA.Gen.2", "W97M.Downloader", "JS.Webcoinminer" };
const char* const Folders[] = { "C:\\Users\\alice\\Downloads", "C:\\Users\\bob.mueller\\AppData\\Local\\Temp",
                                "D:\\Shares\\Finance\\2023\\Quarter 2\\Incoming",
                                "C:\\ProgramData\\Vendor\\Updates\\cache", "C:\\Windows\\Temp" };
const char* const Files[] = { "eicar.com", "invoice_0517.docm", "setup_x64.exe", "~tmp4A1B.js",
                              "report final (2).xlsm", "update.msi" };

const char DetectionFiller[] =
    " by: Auto-Protect scan. Action: Quarantined. Action Description: The file was quarantined successfully. The risk was "
    "detected by a real-time scan of a file that was opened, written or executed; no further action "
    "is required. Details: the file is held in the local quarantine and can be restored from there. "
    "Reputation: reported by few users, first seen less than one week ago, risk level high.";
const char StatusFiller[] =
    " Details: the operation finished normally on this computer and was reported to the management "
    "server with the next heartbeat. Policy serial number 1A2B-3C4D-5E6F, location Default, group "
    "My Company\\Workstations, client version 14.3.8289.5000, definitions 2023-05-16 revision 18.";

// The fields after the description, dropped from the end as far as a short
// line needs.
const char* const TailFields[] = { "0", "201", "0", "1", "11101", "0", "0", "0", "0", "20230516.018",
                                   "241501", "0", "{4A1B2C3D-5E6F-4708-9A1B-2C3D4E5F6071}", "Default",
                                   "10.20.30.40", "CORP", "00-1A-2B-3C-4D-5E", "14.3.8289.5000" };

const size_t ShortestLine = 250;
const size_t LongestLine = 450;
const size_t LinesPerDay = 23 * 3600;  // seconds from 00:00:00 to 22:59:59

void AppendTime(std::string& line, unsigned int secondOfDay)
{
    char text[16];
    StringCchPrintfA(text, ARRAYSIZE(text), "350411%02X%02X%02X", secondOfDay / 3600, secondOfDay / 60 % 60,
                     secondOfDay % 60);
    line += text;
}

void AppendField(std::string& line, const std::string& field)
{
    line += ',';
    line += field;
}

// Fields 1 to 13: time, rule numbers, who, what, where, the three actions,
// risk type and flags; description receives the text of field 14.
std::string LineHead(Random& random, const EventKind& kind, unsigned int secondOfDay, std::string& description)
{
    std::string line;
    AppendTime(line, secondOfDay);
    AppendField(line, std::to_string(kind.Event));
    AppendField(line, std::to_string(kind.Category));
    AppendField(line, std::to_string(kind.Logger));
    AppendField(line, random.Pick(Computers));
    AppendField(line, random.Pick(Users));
    std::string risk = kind.HasRisk ? random.Pick(Risks) : "";
    std::string path = kind.HasRisk ? std::string(random.Pick(Folders)) + "\\" + random.Pick(Files) : "";
    AppendField(line, risk);
    AppendField(line, path);
    description = kind.HasRisk ? kind.Description + risk + " in File: " + path + DetectionFiller
                               : kind.Description + std::string(StatusFiller);
    AppendField(line, std::to_string(1 + random.Below(5)));
    AppendField(line, std::to_string(1 + random.Below(5)));
    AppendField(line, kind.HasRisk ? std::to_string(1 + random.Below(23)) : std::string("4294967295"));
    AppendField(line, std::to_string(random.Below(3)));
    AppendField(line, "0");
    return line;
}

// A line of exactly length bytes: the head, the quoted description cut or
// padded to fit, and as many tail fields as leave room for it.
std::string MakeLine(Random& random, const EventKind& kind, unsigned int secondOfDay, size_t length)
{
    std::string description;
    std::string line = LineHead(random, kind, secondOfDay, description);

    std::string tail;
    const size_t fixed = line.size() + 4 + 2;  // ,"" around the description, CR LF
    const size_t shortestDescription = 24;
    for (const char* field : TailFields) {
        if (fixed + shortestDescription + tail.size() + 1 + strlen(field) > length)
            break;
        AppendField(tail, field);
    }
    size_t room = length > fixed + tail.size() ? length - fixed - tail.size() : 0;
    description.resize(room, '.');
    line += ",\"" + description + "\"" + tail + "\r\n";
    return line;
}

}  // namespace

void AppendOldLines(std::string& content, size_t size, unsigned int seed)
{
    Random random = { seed != 0 ? seed : 1 };
    // Times climb through the day, one line every few seconds on average.
    const size_t expectedLines = size / ((ShortestLine + LongestLine) / 2) + 1;
    size_t index = 0;
    while (content.size() < size) {
        const EventKind& kind =
            random.Below(8) == 0 ? EventKinds[0] : EventKinds[1 + random.Below(ARRAYSIZE(EventKinds) - 1)];
        unsigned long long second = (unsigned long long)index * LinesPerDay / expectedLines;
        unsigned int secondOfDay = (unsigned int)(second < LinesPerDay ? second : LinesPerDay - 1);
        size_t length = ShortestLine + random.Below((unsigned int)(LongestLine - ShortestLine + 1));
        content += MakeLine(random, kind, secondOfDay, length);
        ++index;
    }
}

std::string NewMatchingLine(void)
{
    Random random = { 2023 };
    std::string line = MakeLine(random, EventKinds[0], 0, 380);
    return BENCH_NEW_LINE_TIME + line.substr(12);
}
