// A reading of the day file goes on from the offset where the last one
// ended, so every line it decodes is new. A reading from the file's
// beginning (a new day's file, or one that no longer holds what was read)
// recognises what was handled before by the time stamp of the last handled
// line and its ordinal (instance) among the matching lines of that time
// stamp. Lines that fail the rule or are old cost only the decoding of their
// first four fields; a LogRecord is allocated and published in CurrentRecord
// only for a line that is handled, because nothing but the actions and the
// scan-position write look at it.
#include "monitor/logparser.h"
#include "config/settings.h"
#include "actions/actions.h"
#include "config/scanposition.h"
#include "config/timestamp.h"
#include "config/strings.h"
#include "core/limits.h"
#include "core/log.h"
#include "core/runstate.h"
#include <stdlib.h>
#include <string.h>
#include <strsafe.h>

static void SkipComma(LineCursor* cursor)
{
    if (cursor->Position < cursor->End && *cursor->Position == ',')
        ++cursor->Position;
}

BYTE ParseHexByte(LineCursor* cursor)
{
    int value = 0;
    for (int i = 0; i < 2; ++i) {
        int digit = 0;
        if (cursor->Position < cursor->End) {
            digit = HexDigitValue((unsigned char)*cursor->Position);
            ++cursor->Position;
        }
        value = value * 16 + digit;
    }
    return (BYTE)value;
}

// The white space strtol skips in the "C" locale.
static BOOL IsNumberSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

static BOOL IsDecimalDigit(char c)
{
    return c >= '0' && c <= '9';
}

LONG ParseNumberField(LineCursor* cursor)
{
    const char* position = cursor->Position;
    const char* end = cursor->End;
    while (position < end && IsNumberSpace(*position))
        ++position;
    BOOL negative = FALSE;
    if (position < end && (*position == '+' || *position == '-')) {
        negative = *position == '-';
        ++position;
    }
    if (position == end || !IsDecimalDigit(*position)) {
        SkipComma(cursor);  // no number: the cursor stays where it was
        return 0;
    }

    // Saturates like strtol: LONG_MAX, or LONG_MIN for a negative number.
    const unsigned long long limit = negative ? 2147483648ULL : 2147483647ULL;
    unsigned long long value = 0;
    for (; position < end && IsDecimalDigit(*position); ++position) {
        if (value <= limit)
            value = value * 10 + (unsigned long long)(*position - '0');
    }
    if (value > limit)
        value = limit;
    cursor->Position = position;
    SkipComma(cursor);
    return negative ? (LONG)(-(long long)value) : (LONG)value;
}

static size_t FieldLength(const LineCursor* cursor)
{
    size_t available = (size_t)(cursor->End - cursor->Position);
    const char* comma = (const char*)memchr(cursor->Position, ',', available);
    return comma != NULL ? (size_t)(comma - cursor->Position) : available;
}

// The character that starts at bytes (at most available bytes), as one or
// two wide characters in units; returns how many bytes it takes, or 0 when
// no valid character of the code page starts there. The shortest valid
// sequence wins: a lead byte is never a character on its own.
static size_t DecodeOneCharacter(UINT codePage, UINT maxCharSize, const char* bytes, size_t available,
                                 wchar_t* units, int* unitCount)
{
    for (size_t size = 1; size <= maxCharSize && size <= available; ++size) {
        *unitCount = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, (int)size, units, 2);
        if (*unitCount > 0)
            return size;
    }
    return 0;
}

// Character by character, for a field that is not valid as a whole or
// longer than the text: a byte that starts no valid character (a cut or
// stray lead byte) becomes the character of the same value. Stops when the
// text is full, never inside a character.
static void DecodeByCharacter(UINT codePage, const char* bytes, size_t count, wchar_t* text, size_t capacity)
{
    CPINFO info;
    UINT maxCharSize = GetCPInfo(codePage, &info) ? info.MaxCharSize : 1;
    size_t written = 0;
    for (size_t position = 0; position < count;) {
        wchar_t units[2];
        int unitCount = 0;
        size_t size = DecodeOneCharacter(codePage, maxCharSize, bytes + position, count - position, units, &unitCount);
        if (size == 0) {
            units[0] = (wchar_t)(unsigned char)bytes[position];
            unitCount = 1;
            size = 1;
        }
        if (written + (size_t)unitCount > capacity - 1)
            break;
        memcpy(text + written, units, (size_t)unitCount * sizeof(wchar_t));
        written += (size_t)unitCount;
        position += size;
    }
    text[written] = L'\0';
}

// The count bytes of a field in codePage as text (capacity characters,
// terminator included). A character takes at least one byte, so a field
// shorter than the text always fits; a valid one is decoded in one call.
// The failed trials leave the thread's last error as it was: they are no
// failure of the program, and the actions' warnings report that error.
static void DecodeFieldBytes(UINT codePage, const char* bytes, size_t count, wchar_t* text, size_t capacity)
{
    DWORD savedError = GetLastError();
    int decoded = 0;
    if (count > 0 && count < capacity)
        decoded = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, (int)count, text, (int)capacity - 1);
    if (decoded > 0 || count == 0)
        text[decoded] = L'\0';
    else
        DecodeByCharacter(codePage, bytes, count, text, capacity);
    SetLastError(savedError);
}

void ExtractTextField(LineCursor* cursor, UINT codePage, wchar_t** slot)
{
    size_t length = FieldLength(cursor);
    wchar_t text[TextLimit];
    DecodeFieldBytes(codePage, cursor->Position, length, text, TextLimit);
    CopyAllocate(text, slot);
    cursor->Position += length;
    SkipComma(cursor);
}

void SkipField(LineCursor* cursor)
{
    cursor->Position += FieldLength(cursor);
    SkipComma(cursor);
}

// Fields 1 to 4: the time, then event, category and logger.
static void DecodeLineHeader(LineCursor* line, LogRecord* record)
{
    SYSTEMTIME* time = &record->Time;
    time->wYear = (WORD)(ParseHexByte(line) + 1970);
    time->wMonth = (WORD)(ParseHexByte(line) + 1);
    time->wDay = ParseHexByte(line);
    time->wHour = ParseHexByte(line);
    time->wMinute = ParseHexByte(line);
    time->wSecond = ParseHexByte(line);
    SkipComma(line);
    record->Event = ParseNumberField(line);
    record->Category = ParseNumberField(line);
    record->Logger = ParseNumberField(line);
}

static BOOL MatchesRule(const LogRecord* record, const MonitorSettingsRecord* settings)
{
    return (DWORD)record->Event == settings->Event && (DWORD)record->Category == settings->Cat &&
           (DWORD)record->Logger == settings->Logger;
}

// Negative, 0 or positive as the line's time is older than, equal to or newer
// than the stored one; day of week and milliseconds take no part.
static int CompareLineTime(const SYSTEMTIME* line, const SYSTEMTIME* stored)
{
    const WORD lineFields[] = { line->wYear, line->wMonth, line->wDay, line->wHour, line->wMinute, line->wSecond };
    const WORD storedFields[] = { stored->wYear,   stored->wMonth,  stored->wDay,
                                  stored->wHour,   stored->wMinute, stored->wSecond };
    for (int i = 0; i < 6; ++i) {
        if (lineFields[i] != storedFields[i])
            return lineFields[i] < storedFields[i] ? -1 : 1;
    }
    return 0;
}

// The position test for a matching line; keeps the instance count of the
// scan. Resumed at the offset, every line is new: one with the stored time
// stamp follows the stored instance. Otherwise lines with the stored time
// stamp are passed over until the count has gone beyond the stored instance.
static BOOL IsNewLine(const SYSTEMTIME* time, const MonitorSettingsRecord* settings, ScanState* scan)
{
    int order = CompareLineTime(time, &settings->TimeStampTime);
    if (scan->AllLinesNew) {
        scan->Instance = order == 0 ? settings->Instance + 1 : 0;
        return TRUE;
    }
    if (order != 0) {
        scan->Instance = 0;
        return order > 0;
    }
    if (scan->Instance <= settings->Instance) {
        ++scan->Instance;
        return FALSE;
    }
    return TRUE;
}

// The record of a handled line, published for the actions.
static LogRecord* PublishRecord(const LogRecord* decoded)
{
    LogRecord* record = (LogRecord*)calloc(1, sizeof(LogRecord));
    if (record == NULL)
        LogError(L"Could not allocate a log record in ProcessFileContent.");
    *record = *decoded;
    CurrentRecord = record;
    return record;
}

static void FormatTimeText(LogRecord* record)
{
    const SYSTEMTIME* time = &record->Time;
    wchar_t text[TextLimit];
    if (FAILED(StringCchPrintfW(text, TextLimit, L"%02d.%02d.%d %02d:%02d:%02d", time->wDay, time->wMonth,
                                time->wYear, time->wHour, time->wMinute, time->wSecond)))
        LogError(L"Error formatting time stamp in ProcessFileContent.");
    CopyAllocate(text, &record->TimeText);
}

// Fields 5 to 11, read only for a line whose actions run.
static void DecodeActionFields(LineCursor* line, LogRecord* record)
{
    FormatTimeText(record);
    // The antivirus product writes its log in the system's ANSI code page.
    ExtractTextField(line, CP_ACP, &record->Text5);
    ExtractTextField(line, CP_ACP, &record->Text6);
    ExtractTextField(line, CP_ACP, &record->Text7);
    ExtractTextField(line, CP_ACP, &record->Text8);
    SkipField(line);
    SkipField(line);
    record->Number11 = ParseNumberField(line);
}

static void RunActions(const MonitorSettingsRecord* settings)
{
    if (settings->Dialog != NULL)
        ExecuteDialogAction();
    if (settings->Syslog != NULL)
        ExecuteSyslogAction();
    if (settings->Execute != NULL)
        ExecuteProgramAction();
    if (settings->Message != NULL)
        ExecuteMessageAction();
}

// Remembers end (an index into the piece) as the decoded end, with the
// bytes before it for the offset check.
static DecodedEnd DecodedEndAt(const LogPiece* piece, size_t end)
{
    ULONGLONG offset = piece->FileOffset + end;
    size_t count = CheckedBytesBefore(offset);
    DecodedEnd decoded = { offset, piece->Data + end - count, count };
    return decoded;
}

// A new matching line: the actions (for every such line, or for the first
// of the scan only), then the scan position, which ends after the line. A
// line whose position was not yet written when the program ended is
// handled again after the next start.
static void HandleLine(LineCursor* line, const LogRecord* decoded, const DecodedEnd* end, ScanState* scan)
{
    MonitorSettingsRecord* settings = MonitorSettings;
    LogRecord* record = PublishRecord(decoded);
    if (settings->ActionStrategy == 0 || scan->FirstOfScan) {
        DecodeActionFields(line, record);
        RunActions(settings);
    }
    scan->FirstOfScan = FALSE;
    SaveScanPosition(scan->Instance, &record->Time, end);
    ++scan->Instance;
    ReleaseCurrentRecord();
}

static void ProcessLine(LineCursor* line, const DecodedEnd* end, ScanState* scan)
{
    MonitorSettingsRecord* settings = MonitorSettings;
    LogRecord decoded;
    ZeroMemory(&decoded, sizeof(decoded));
    DecodeLineHeader(line, &decoded);
    if (MatchesRule(&decoded, settings) && IsNewLine(&decoded.Time, settings, scan))
        HandleLine(line, &decoded, end, scan);
}

void BeginScan(ScanState* scan, ULONGLONG offset, BOOL allLinesNew)
{
    ZeroMemory(scan, sizeof(*scan));
    scan->FirstOfScan = TRUE;
    scan->AllLinesNew = allLinesNew;
    scan->DecodedEnd = offset;
}

void PassOverBytes(ScanState* scan, const LogPiece* piece, size_t end)
{
    DecodedEnd decoded = DecodedEndAt(piece, end);
    scan->DecodedEnd = decoded.Offset;
    scan->ByteCount = decoded.ByteCount;
    CopyMemory(scan->BytesBefore, decoded.BytesBefore, decoded.ByteCount);
}

// The first line feed or NUL byte in [text, end), or end. Four bytes at a
// time: a byte-by-byte search (the runtime's strchr under Wine) costs about
// as much as decoding the lines. Reads nothing at or after end.
static const char* FindLineEnd(const char* text, const char* end)
{
    for (; text < end && ((UINT_PTR)text & 3) != 0; ++text) {
        if (*text == '\n' || *text == '\0')
            return text;
    }
    for (; end - text >= 4; text += 4) {
        UINT32 word;
        memcpy(&word, text, sizeof(word));
        UINT32 feeds = word ^ 0x0A0A0A0Au;
        // Sets a high bit when one of the four bytes is 0, or a line feed.
        if ((((word - 0x01010101u) & ~word) | ((feeds - 0x01010101u) & ~feeds)) & 0x80808080u)
            break;
    }
    for (; text < end; ++text) {
        if (*text == '\n' || *text == '\0')
            return text;
    }
    return end;
}

// Decodes the lines one after the other. A line counts only once its line
// feed is written: the antivirus product may be appending it while the file
// is read, and a line cut off there would run the actions with cut fields
// and move the position past the complete line. The unterminated tail is
// left for the next piece or reading; so is a line with a zero byte before
// its line feed, which the reader looks at. The end of a finished file (a
// previous day's) grows no more: its unterminated last line is decoded as
// it is.
size_t ProcessLogPiece(ScanState* scan, const LogPiece* piece, BOOL lastOfFinishedFile)
{
    const char* data = piece->Data;
    const char* end = data + piece->Length;
    size_t start = piece->LineStart;
    // A stop ends the reading between lines, after the last handled line's
    // actions and position save; the next start reads the rest.
    while (data + start < end && !IsStopRequested()) {
        const char* lineEnd = FindLineEnd(data + start, end);
        BOOL complete = lineEnd < end && *lineEnd == '\n';
        if (!complete && !(lastOfFinishedFile && lineEnd == end))
            break;
        size_t next = (size_t)(lineEnd - data) + (complete ? 1 : 0);
        LineCursor line = { data + start, lineEnd };
        if (line.End > line.Position && line.End[-1] == '\r')
            --line.End;  // the carriage return of CR LF belongs to no field
        DecodedEnd decoded = DecodedEndAt(piece, next);
        ProcessLine(&line, &decoded, scan);
        start = next;
    }
    if (start != piece->LineStart)
        PassOverBytes(scan, piece, start);
    return start;
}

void FinishScan(const ScanState* scan)
{
    MonitorSettingsRecord* settings = MonitorSettings;
    if (scan->DecodedEnd == 0 || scan->DecodedEnd == settings->Offset)
        return;
    DecodedEnd end = { scan->DecodedEnd, scan->BytesBefore, scan->ByteCount };
    SaveScanPosition(settings->Instance, &settings->TimeStampTime, &end);
}

void ProcessFileContent(const char* content)
{
    ScanState scan;
    BeginScan(&scan, 0, FALSE);
    LogPiece piece = { content, strlen(content), 0, 0 };
    ProcessLogPiece(&scan, &piece, FALSE);
    FinishScan(&scan);
}
