// Property test of the parser: generated content (valid, truncated, empty,
// CR LF and LF, missing fields, huge fields, odd numbers, random bytes) is
// handed over in pieces of random length, as the reader hands over a file:
// each piece holds the undecoded rest of the one before and new bytes, and
// is placed so that its terminating NUL is the last byte before a no-access
// page. A read past the NUL faults there and ends the test process with a
// message. Pieces end inside lines, right after a line feed, and between
// the CR and the LF of a line end. Each content is read as a growing file
// (its unterminated last line is left unread) and then as a finished one
// (that last line is decoded, and its field scans run into the NUL). The
// lines whose actions ran and the scan position must agree with a plain
// reference decoder that reads each line as a NUL-terminated copy with
// strtol.
//
// QARLOV_PROPERTY_LINES sets the number of lines (default 100000; the long
// variant uses 1000000), QARLOV_PROPERTY_SEED the seed.
#include "monitor/logparser.h"
#include "tests/unit/monitor_fixture.h"
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <iostream>
#include <random>

using namespace monitor_fixture;

namespace {

// ---- the guarded buffer ----------------------------------------------------

const char* volatile GuardPage = NULL;
volatile SIZE_T GuardPageSize = 0;

// Wine reports a read of the guard page as an access violation at its
// address. Under QEMU's user-mode emulation (on kernels that run no 32-bit
// code) the same fault arrives as an illegal instruction with no address:
// while a guard is armed, that counts as a read past the end too.
LONG CALLBACK ReportReadPastTheEnd(EXCEPTION_POINTERS* exception)
{
    const EXCEPTION_RECORD* record = exception->ExceptionRecord;
    if (GuardPage == NULL)
        return EXCEPTION_CONTINUE_SEARCH;
    if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        ULONG_PTR address = record->ExceptionInformation[1];
        ULONG_PTR guard = (ULONG_PTR)GuardPage;
        if (address < guard || address >= guard + GuardPageSize)
            return EXCEPTION_CONTINUE_SEARCH;
        fprintf(stderr, "Read past the terminating NUL: %lu bytes beyond it.\n", (unsigned long)(address - guard));
    } else if (record->ExceptionCode == EXCEPTION_ILLEGAL_INSTRUCTION) {
        fprintf(stderr, "Read past the terminating NUL: a fault without its address.\n");
    } else {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    fflush(stderr);
    ExitProcess(3);
    return EXCEPTION_CONTINUE_SEARCH;
}

// Content whose terminating NUL is the last byte before a PAGE_NOACCESS page.
class GuardedContent {
public:
    explicit GuardedContent(const std::string& content)
    {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        SIZE_T page = system.dwPageSize;
        SIZE_T dataBytes = content.size() + 1;
        SIZE_T dataPages = (dataBytes + page - 1) / page;
        Base = (char*)VirtualAlloc(NULL, (dataPages + 1) * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        Guard = Base + dataPages * page;
        DWORD previous = 0;
        Protected = VirtualProtect(Guard, page, PAGE_NOACCESS, &previous) != FALSE;
        Text = Guard - dataBytes;
        memcpy(Text, content.data(), content.size());
        Text[content.size()] = '\0';
        GuardPageSize = page;
        GuardPage = Guard;
        Handler = AddVectoredExceptionHandler(1, ReportReadPastTheEnd);
    }
    ~GuardedContent()
    {
        RemoveVectoredExceptionHandler(Handler);
        GuardPage = NULL;
        VirtualFree(Base, 0, MEM_RELEASE);
    }
    char* Base;
    char* Guard;
    char* Text;
    bool Protected;
    void* Handler;
};

// The guard must really fault, or the property test proves nothing.
TEST(GuardedContentTest, AReadPastTheNulFaultsAndIsReported)
{
    EXPECT_EXIT(
        {
            GuardedContent content("abc");
            if (!content.Protected || content.Text[3] != '\0' || content.Text + 4 != content.Guard)
                ExitProcess(4);
            volatile char beyond = content.Text[4];
            (void)beyond;
            ExitProcess(5);
        },
        ::testing::ExitedWithCode(3), "Read past the terminating NUL: ");
}

// ---- the generator -----------------------------------------------------------

const char* const StoredStamp = "3504110E1E05";  // 17 May 2023, 14:30:05

class LineGenerator {
public:
    explicit LineGenerator(unsigned seed) : Random(seed), Seconds(14 * 3600 + 30 * 60 + 2) {}

    // One line with its terminator; lineCount counts the lines made so far.
    std::string NextLine()
    {
        if (Chance(0.2))
            ++Seconds;
        int kind = Pick(100);
        std::string line;
        if (kind < 40)
            line = ValidLine(Chance(0.06));
        else if (kind < 50)
            line = Truncated(ValidLine(Chance(0.3)));
        else if (kind < 55)
            line = "";
        else if (kind < 63)
            line = MissingFields();
        else if (kind < 73)
            line = OddNumbers();
        else if (kind < 88)
            line = RandomBytes(1 + Pick(120));
        else if (kind < 99)
            line = Truncated(RandomBytes(1 + Pick(40)) + "," + ValidLine(false));
        else
            line = HugeField();
        return line + Terminator();
    }

    // A last line without terminator, of one of the kinds that end inside a
    // field scan when the NUL comes.
    std::string LastLine(int kind)
    {
        switch (kind) {
        case 0: return Stamp().substr(0, 9);                                   // inside the time
        case 1: return Stamp() + ",51,1,2,abc";                                // inside a text field
        case 2: return Stamp() + ",51,1,2,a,b,c,d,e,f,12345";                 // inside field 11
        case 3: return Stamp() + ",51,1,2,a,b,c,d,e";                          // inside a skipped field
        case 4: return Stamp() + ", 5";                                        // inside a number
        default: return Stamp() + ",51,1,2,a,b,c," + std::string(9000, 'y');  // inside a huge field
        }
    }

private:
    std::mt19937 Random;
    long Seconds;  // of the generated time, counted from 17 May 2023 00:00:00

    int Pick(int range) { return (int)(Random() % (unsigned)range); }
    bool Chance(double probability) { return Random() % 10000 < probability * 10000; }

    std::string Stamp()
    {
        long seconds = Chance(0.01) ? Seconds - 1 - Pick(10) : Seconds;  // now and then an older line
        int values[6] = { 2023 - 1970, 4, 17 + (int)(seconds / 86400), (int)(seconds / 3600 % 24),
                          (int)(seconds / 60 % 60), (int)(seconds % 60) };
        const char* digits = Chance(0.5) ? "0123456789ABCDEF" : "0123456789abcdef";
        std::string stamp;
        for (int value : values) {
            stamp += digits[(value >> 4) & 15];
            stamp += digits[value & 15];
        }
        return stamp;
    }

    std::string Word(int maxLength)
    {
        static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .:\\_-\xe9\xfc";
        std::string word;
        int length = Pick(maxLength + 1);
        for (int i = 0; i < length; ++i)
            word += letters[Pick(sizeof(letters) - 1)];
        return word;
    }

    std::string Rule(bool matching)
    {
        if (matching)
            return "51,1,2";
        static const char* const others[] = { "5,1,2", "51,2,2", "51,1,0", "51,1,131173", "46,1,2", "2,2,1" };
        return others[Pick(6)];
    }

    std::string ValidLine(bool matching)
    {
        std::string line = Stamp() + "," + Rule(matching);
        for (int field = 5; field <= 8; ++field)
            line += "," + Word(30);
        line += ",1,3," + std::to_string(Pick(24)) + ",1,0,\"Detection of " + Word(40) + "\"";
        for (int field = 0; field < Pick(40); ++field)
            line += "," + Word(12);
        return line;
    }

    std::string Truncated(const std::string& line) { return line.substr(0, Pick((int)line.size() + 1)); }

    std::string MissingFields()
    {
        std::string line = ValidLine(Chance(0.3));
        int fields = 1 + Pick(10);
        size_t end = 0;
        for (int i = 0; i < fields && end != std::string::npos; ++i)
            end = line.find(',', end + 1);
        return end == std::string::npos ? line : line.substr(0, end);
    }

    std::string OddNumber()
    {
        static const char* const numbers[] = { "51",   " 51",  "+51",        "051", "51 ", "-51", "5x", "",
                                               "\t51", "0051", "4294967347", "51a", "- 51", "+",  "\v51" };
        return numbers[Pick(15)];
    }

    std::string OddNumbers()
    {
        return Stamp() + (Chance(0.1) ? ";" : ",") + OddNumber() + "," + (Chance(0.8) ? "1" : OddNumber()) + "," +
               (Chance(0.8) ? "2" : OddNumber()) + ",odd,numbers,here,x,1,3," + OddNumber() + ",tail";
    }

    std::string RandomBytes(int length)
    {
        static const char favoured[] = ",,,\r\r 0123456789abcdefABCDEF+-\t";
        std::string bytes;
        for (int i = 0; i < length; ++i) {
            char c = Chance(0.5) ? favoured[Pick(sizeof(favoured) - 1)] : (char)(1 + Pick(255));
            bytes += c == '\n' ? ',' : c;
        }
        return bytes;
    }

    std::string HugeField()
    {
        std::string line = ValidLine(Chance(0.5));
        size_t fieldStart = 0;
        int field = 5 + Pick(4);
        for (int i = 1; i < field; ++i)
            fieldStart = line.find(',', fieldStart) + 1;
        return line.substr(0, fieldStart) + std::string(8000 + Pick(6000), 'H') + line.substr(fieldStart);
    }

    std::string Terminator()
    {
        int kind = Pick(100);
        if (kind < 70)
            return "\r\n";
        if (kind < 95)
            return "\n";
        if (kind < 98)
            return "\r\r\n";
        return "\n\n";
    }
};

// ---- the reference decoder ---------------------------------------------------

struct Expected {
    std::vector<std::string> TimeTexts;  // of the lines whose actions ran
    DWORD Instance;
    SYSTEMTIME Time;
};

int CompareTimes(const SYSTEMTIME& a, const SYSTEMTIME& b)
{
    const WORD left[] = { a.wYear, a.wMonth, a.wDay, a.wHour, a.wMinute, a.wSecond };
    const WORD right[] = { b.wYear, b.wMonth, b.wDay, b.wHour, b.wMinute, b.wSecond };
    for (int i = 0; i < 6; ++i) {
        if (left[i] != right[i])
            return left[i] < right[i] ? -1 : 1;
    }
    return 0;
}

// Reads one number of a NUL-terminated line copy with strtol.
long ReferenceNumber(const std::string& line, size_t* position)
{
    char* end = NULL;
    long value = strtol(line.c_str() + *position, &end, 10);
    *position = (size_t)(end - line.c_str());
    if (*position < line.size() && line[*position] == ',')
        ++*position;
    return value;
}

Expected ReferenceScan(const std::string& content, const SYSTEMTIME& storedTime, DWORD storedInstance,
                       bool finished)
{
    Expected expected = { {}, storedInstance, storedTime };
    DWORD counter = 0;
    size_t start = 0;
    while (start < content.size()) {
        size_t lineFeed = content.find('\n', start);
        if (lineFeed == std::string::npos && !finished)
            break;
        size_t next = lineFeed == std::string::npos ? content.size() : lineFeed + 1;
        std::string line = content.substr(start, (lineFeed == std::string::npos ? content.size() : lineFeed) - start);
        start = next;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();

        std::string stamp = line.substr(0, 12);
        stamp.resize(12, '0');
        SYSTEMTIME time = TimeFromStamp(stamp.c_str());
        size_t position = line.size() < 12 ? line.size() : 12;
        if (position < line.size() && line[position] == ',')
            ++position;
        long event = ReferenceNumber(line, &position);
        long category = ReferenceNumber(line, &position);
        long logger = ReferenceNumber(line, &position);
        if (event != 51 || category != 1 || logger != 2)
            continue;

        int order = CompareTimes(time, expected.Time);
        if (order < 0 || (order == 0 && counter <= expected.Instance)) {
            counter = order < 0 ? 0 : counter + 1;
            continue;
        }
        if (order > 0)
            counter = 0;
        char text[64];
        snprintf(text, sizeof(text), "%02d.%02d.%d %02d:%02d:%02d", time.wDay, time.wMonth, time.wYear, time.wHour,
                 time.wMinute, time.wSecond);
        expected.TimeTexts.push_back(text);
        expected.Instance = counter;
        expected.Time = time;
        ++counter;
    }
    return expected;
}

unsigned EnvironmentNumber(const char* name, unsigned fallback)
{
    const char* text = getenv(name);
    return text != NULL && *text != '\0' ? (unsigned)strtoul(text, NULL, 10) : fallback;
}

// ---- the test ------------------------------------------------------------------

class ProcessFileContentPropertyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetMonitorRule();
        ConfigureMessageAction(L"%00");
        SetStoredPosition(StoredStamp, 0);
        WriteRegistryPosition(SentinelPosition);
    }
};

// Where the piece after the one that begins at from ends: now and then
// right after a line feed or between a CR and its LF, otherwise anywhere.
size_t NextPieceEnd(const std::string& content, size_t from, std::mt19937& random)
{
    size_t end = from + 1 + random() % 3000;
    size_t special = std::string::npos;
    switch (random() % 4) {
    case 0: special = content.find('\n', end); break;
    case 1: special = content.find("\r\n", end); break;
    }
    if (special != std::string::npos)
        end = special + 1;
    return end < content.size() ? end : content.size();
}

// Reads content as the reader would, piece after piece; each piece holds
// the bytes the offset check needs before its first undecoded byte.
void ProcessInPieces(const std::string& content, bool finished, std::mt19937& random)
{
    ScanState scan;
    BeginScan(&scan, 0, FALSE);
    size_t lineStart = 0, pieceEnd = 0;
    while (pieceEnd < content.size()) {
        pieceEnd = NextPieceEnd(content, pieceEnd, random);
        size_t keepFrom = lineStart - CheckedBytesBefore(lineStart);
        GuardedContent guarded(content.substr(keepFrom, pieceEnd - keepFrom));
        ASSERT_TRUE(guarded.Protected);
        LogPiece piece = { guarded.Text, pieceEnd - keepFrom, lineStart - keepFrom, keepFrom };
        lineStart = keepFrom + ProcessLogPiece(&scan, &piece, finished && pieceEnd == content.size());
    }
    FinishScan(&scan);
}

TEST_F(ProcessFileContentPropertyTest, GeneratedContentIsReadWithinItsBytesAndMatchesTheReference)
{
    const unsigned totalLines = EnvironmentNumber("QARLOV_PROPERTY_LINES", 100000);
    const unsigned seed = EnvironmentNumber("QARLOV_PROPERTY_SEED", 20230517);
    const int lastLineKinds = 6;
    LineGenerator generator(seed);
    std::mt19937 pieces(seed);
    size_t handledLines = 0, contentBytes = 0;
    double parseSeconds = 0;

    // Several contents, each ending in another kind of unterminated last line.
    for (int part = 0; part < lastLineKinds; ++part) {
        std::string content;
        for (unsigned i = 0; i < totalLines / lastLineKinds; ++i)
            content += generator.NextLine();
        content += generator.LastLine(part);
        contentBytes += content.size();

        for (bool finished : { false, true }) {
            Expected expected =
                ReferenceScan(content, MonitorSettings->TimeStampTime, MonitorSettings->Instance, finished);
            LARGE_INTEGER frequency, before, after;
            QueryPerformanceFrequency(&frequency);
            std::string output = CaptureConsoleOutput([&] {
                QueryPerformanceCounter(&before);
                ProcessInPieces(content, finished, pieces);
                QueryPerformanceCounter(&after);
            });
            parseSeconds += (double)(after.QuadPart - before.QuadPart) / (double)frequency.QuadPart;

            std::vector<std::string> handled = WarningTexts(output);
            handledLines += handled.size();
            ASSERT_EQ(expected.TimeTexts, handled) << "seed " << seed << ", part " << part << ", finished " << finished;
            EXPECT_EQ(expected.Instance, MonitorSettings->Instance) << "seed " << seed << ", part " << part;
            EXPECT_EQ(0, CompareTimes(expected.Time, MonitorSettings->TimeStampTime)) << "seed " << seed;
            EXPECT_EQ(finished ? content.size() : content.rfind('\n') + 1, MonitorSettings->Offset)
                << "seed " << seed << ", part " << part;
            EXPECT_EQ(nullptr, CurrentRecord);
        }
    }

    EXPECT_GT(handledLines, totalLines / 100) << "too few new matching lines to test the position rules";
    RegistryPosition saved = ReadRegistryPosition();
    EXPECT_EQ(MonitorSettings->Instance, saved.Instance);
    EXPECT_EQ(std::wstring(MonitorSettings->TimeStamp), saved.TimeStamp);
    EXPECT_EQ(MonitorSettings->Offset, ReadRegistryOffset());
    std::cout << "[ property ] " << totalLines << " lines, " << contentBytes << " bytes, " << handledLines
              << " handled, seed " << seed << ", parsing took " << parseSeconds << " s\n";
}

// strtol's reading of random fields, compared with the bounded reader.
TEST(ParseNumberFieldPropertyTest, AgreesWithStrtolOnRandomFields)
{
    std::mt19937 random(EnvironmentNumber("QARLOV_PROPERTY_SEED", 20230517));
    static const char alphabet[] = " \t\v\f\r+-0123456789,ax9999999999";
    for (int round = 0; round < 200000; ++round) {
        std::string field;
        int length = (int)(random() % 14);
        for (int i = 0; i < length; ++i)
            field += alphabet[random() % (sizeof(alphabet) - 1)];
        LineCursor cursor = { field.data(), field.data() + field.size() };
        LONG value = ParseNumberField(&cursor);

        size_t position = 0;
        long expected = ReferenceNumber(field, &position);
        ASSERT_EQ(expected, value) << "[" << field << "]";
        ASSERT_EQ(position, (size_t)(cursor.Position - field.data())) << "[" << field << "]";
    }
}

}  // namespace
