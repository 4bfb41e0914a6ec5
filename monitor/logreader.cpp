// A day file is read in pieces of a fixed size from where the last reading
// ended, so that a reading costs time and memory in proportion to what was
// appended, not to the file. The antivirus product keeps the file open for
// writing, so it is opened shared and the opening is retried; a file that
// is not there is nothing to read. Every failure is a warning; the caller
// tries again. The waits of a reading end early on a stop request, which
// abandons the reading without a warning.
#include "monitor/logreader.h"
#include "config/scanposition.h"
#include "config/settings.h"
#include "core/limits.h"
#include "core/log.h"
#include "core/runstate.h"
#include "monitor/logparser.h"
#include <stdlib.h>
#include <string.h>
#include <strsafe.h>

// SettleRounds: how often a finished file's unfinished end is looked at
// again before the reading is left to be tried later.
enum { OpenAttempts = 20, OpenRetryFallbackWait = 54, SettleRounds = 5 };

ReadingLimits LogReadingLimits = { 1u << 20, 4u << 20, 2000, 10 * 60 * 1000 };

// A file that stays unreadable is reported once, and then once every
// ReminderMilliseconds while it stays so: the watchers try again every few
// seconds. The file last reported, and when (watcher thread only).
static wchar_t UnreadablePath[PathLimit];
static DWORD UnreadableReportedAt;

static BOOL IsReportedUnreadable(const wchar_t* path)
{
    return lstrcmpiW(UnreadablePath, path) == 0;
}

// TRUE when a failure to read path is to be reported now.
static BOOL ReportUnreadableNow(const wchar_t* path)
{
    DWORD now = GetTickCount();
    if (IsReportedUnreadable(path) && now - UnreadableReportedAt < LogReadingLimits.ReminderMilliseconds)
        return FALSE;
    if (FAILED(StringCchCopyW(UnreadablePath, PathLimit, path)))
        UnreadablePath[0] = L'\0';
    UnreadableReportedAt = now;
    return TRUE;
}

// Up to 20 attempts, each followed by a random wait when it fails. A file
// that is not there is no failure, only nothing to read: *missing is set at
// once. The product may delete or rename its old logs while we read them.
static HANDLE OpenLogFileShared(const wchar_t* path, BOOL* missing)
{
    DWORD openError = ERROR_SUCCESS;
    *missing = FALSE;
    for (int attempt = 0; attempt < OpenAttempts; ++attempt) {
        HANDLE file = CreateFileW(path, FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE)
            return file;
        openError = GetLastError();
        if (openError == ERROR_FILE_NOT_FOUND) {  // a missing folder is a failure to report
            *missing = TRUE;
            return INVALID_HANDLE_VALUE;
        }
        if (WaitUnlessStopped(NULL, RandomWaitInterval(OpenRetryFallbackWait)) == WaitStopped)
            return INVALID_HANDLE_VALUE;
    }
    if (ReportUnreadableNow(path)) {
        SetLastError(openError);  // the warning names why the opening failed
        LogMessage(LogLevelWarning,
                   L"Read operation aborted after 20 unsuccessful tries with a random waiting interval in between.");
    }
    return INVALID_HANDLE_VALUE;
}

// The bytes of the file in memory, and how far they are decoded.
typedef struct PieceBuffer {
    char* Data;
    size_t Capacity;
    LogPiece Piece;    // Data[0, Piece.Length): the file's bytes from Piece.FileOffset
    BOOL PassingOver;  // the rest of a line too long to decode is skipped
    BOOL InZeroRun;    // Piece.LineStart is inside a run of zero bytes...
    ULONGLONG ZeroRunStart;  // ...that begins at this offset of the file
} PieceBuffer;

static BOOL AllocateBuffer(PieceBuffer* buffer, size_t capacity)
{
    char* data = (char*)realloc(buffer->Data, capacity);
    if (data == NULL) {
        LogMessage(LogLevelWarning, L"Could not allocate buffer for reading the file. Read aborted.");
        return FALSE;
    }
    buffer->Data = data;
    buffer->Capacity = capacity;
    buffer->Piece.Data = data;
    return TRUE;
}

// Decoding starts at offset, with the bytes before it that its check covers.
static void StartBufferAt(PieceBuffer* buffer, ULONGLONG offset)
{
    size_t before = CheckedBytesBefore(offset);
    buffer->Piece.FileOffset = offset - before;
    buffer->Piece.Length = 0;
    buffer->Piece.LineStart = before;
    buffer->PassingOver = FALSE;
    buffer->InZeroRun = FALSE;
}

// Appends what the file holds after the buffer's bytes, as much as fits;
// *got tells how much. FALSE when the file could not be read, or is not
// there (*missing). The file is closed before the bytes are decoded:
// actions may take long, and an open handle would keep the product from
// deleting or renaming the file.
static BOOL ReadMore(const wchar_t* path, PieceBuffer* buffer, size_t* got, BOOL* missing)
{
    HANDLE file = OpenLogFileShared(path, missing);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    LogPiece* piece = &buffer->Piece;
    LARGE_INTEGER position;
    position.QuadPart = (LONGLONG)(piece->FileOffset + piece->Length);
    DWORD bytesRead = 0;
    BOOL read = SetFilePointerEx(file, position, NULL, FILE_BEGIN) &&
                ReadFile(file, buffer->Data + piece->Length, (DWORD)(buffer->Capacity - piece->Length), &bytesRead,
                         NULL);
    DWORD readError = GetLastError();
    CloseHandle(file);
    if (!read) {
        if (ReportUnreadableNow(path)) {
            SetLastError(readError);
            LogMessage(LogLevelWarning, L"Error reading the input file. File processing aborted.");
        }
        return FALSE;
    }
    if (IsReportedUnreadable(path))
        UnreadablePath[0] = L'\0';  // readable again: a new failure is reported at once
    piece->Length += bytesRead;
    *got = bytesRead;
    return TRUE;
}

// After the first bytes from the stored offset are read: TRUE when the file
// still holds before the offset what was decoded up to it.
static BOOL StoredOffsetHolds(const LogPiece* piece)
{
    return piece->Length >= piece->LineStart &&
           ComputeOffsetCheck(piece->Data, piece->LineStart) == MonitorSettings->OffsetCheck;
}

// Skips the rest of a line too long to decode, up to its line feed, or to
// the end of a file whose end is final. The line is reported once its end
// is found.
static void ContinuePassingOver(PieceBuffer* buffer, ScanState* scan, const wchar_t* path, BOOL finalEnd)
{
    LogPiece* piece = &buffer->Piece;
    const char* lineFeed = (const char*)memchr(piece->Data + piece->LineStart, '\n', piece->Length - piece->LineStart);
    if (lineFeed == NULL && !finalEnd) {
        piece->LineStart = piece->Length;
        return;
    }
    size_t end = lineFeed != NULL ? (size_t)(lineFeed - piece->Data) + 1 : piece->Length;
    PassOverBytes(scan, piece, end);
    piece->LineStart = end;
    buffer->PassingOver = FALSE;
    LogMessage(LogLevelWarning, L"A line of the log file %s is longer than %lu bytes. It is not handled.", path,
               (unsigned long)LogReadingLimits.LineBytes);
}

// Zero bytes in the line at LineStart: space that an append has taken but
// not yet filled, or a hole that a write lost in a crash or a power failure
// left behind, after which the product went on writing. A run that more
// data follows is a hole: it is passed over with the line it cut off, with
// one warning, and TRUE says that decoding goes on after it. A run that
// reaches the end of what was read is left undecoded: the next reading
// looks at it again, unless the file's end is final (finalEnd). A run that
// reaches the end of the piece goes on in the next one.
static BOOL PassOverZeroRun(PieceBuffer* buffer, ScanState* scan, const wchar_t* path, BOOL finalEnd)
{
    LogPiece* piece = &buffer->Piece;
    size_t end = piece->LineStart;
    if (!buffer->InZeroRun) {
        const char* zero = (const char*)memchr(piece->Data + end, '\0', piece->Length - end);
        if (zero == NULL)
            return FALSE;
        end = (size_t)(zero - piece->Data);
        buffer->InZeroRun = TRUE;
        buffer->ZeroRunStart = piece->FileOffset + end;
    }
    while (end < piece->Length && piece->Data[end] == '\0')
        ++end;
    piece->LineStart = end;
    if (end == piece->Length && !finalEnd)
        return FALSE;
    buffer->InZeroRun = FALSE;
    PassOverBytes(scan, piece, end);
    LogMessage(LogLevelWarning, L"The log file %s holds %I64u zero bytes from byte %I64u on, where a write was lost. "
                                L"They are passed over with the line they cut off.",
               path, piece->FileOffset + end - buffer->ZeroRunStart, buffer->ZeroRunStart);
    return end < piece->Length;
}

// Decodes the piece's lines up to its end, or up to an unfinished line at
// its end; runs of zero bytes that data follows are passed over.
static void DecodePiece(PieceBuffer* buffer, ScanState* scan, const wchar_t* path, BOOL finalEnd)
{
    LogPiece* piece = &buffer->Piece;
    if (buffer->PassingOver)
        ContinuePassingOver(buffer, scan, path, finalEnd);
    for (;;) {
        if (!buffer->InZeroRun)
            piece->LineStart = ProcessLogPiece(scan, piece, finalEnd);
        if (IsStopRequested() || !PassOverZeroRun(buffer, scan, path, finalEnd))
            return;
    }
}

// Moves the bytes not yet decoded, with the decoded ones the offset check
// needs before them, to the buffer's start. A line that then fills the
// buffer makes it grow, up to the longest line decoded; the rest of a
// longer one is skipped. FALSE when the buffer could not grow.
static BOOL MakeRoom(PieceBuffer* buffer)
{
    LogPiece* piece = &buffer->Piece;
    size_t before = CheckedBytesBefore(piece->FileOffset + piece->LineStart);
    size_t keepFrom = piece->LineStart - before;
    MoveMemory(buffer->Data, buffer->Data + keepFrom, piece->Length - keepFrom);
    piece->FileOffset += keepFrom;
    piece->Length -= keepFrom;
    piece->LineStart = before;
    if (piece->Length < buffer->Capacity)
        return TRUE;
    size_t largest = LogReadingLimits.LineBytes + OffsetCheckBytes;
    if (buffer->Capacity < largest)
        return AllocateBuffer(buffer, buffer->Capacity * 2 < largest ? buffer->Capacity * 2 : largest);
    buffer->PassingOver = TRUE;
    piece->LineStart = piece->Length;
    return MakeRoom(buffer);
}

// Reads and decodes piece after piece up to the end of the file. A reading
// resumes at the stored offset when the file still holds what was decoded
// before it; otherwise it starts at the file's beginning. An unfinished end
// (a line without its line feed, zero bytes) is left undecoded, unless the
// file ends at finalSize: then it is taken as it is. *unfinishedEnd is where
// the file ended when such an end was left, 0 otherwise.
static BOOL ReadPieces(const wchar_t* path, ULONGLONG finalSize, PieceBuffer* buffer, ScanState* scan,
                       ULONGLONG* unfinishedEnd)
{
    ULONGLONG offset = MonitorSettings->Offset;
    BOOL checkOffset = offset != 0;
    *unfinishedEnd = 0;
    StartBufferAt(buffer, offset);
    BeginScan(scan, offset, checkOffset);
    for (;;) {
        size_t space = buffer->Capacity - buffer->Piece.Length;
        size_t got = 0;
        BOOL missing = FALSE;
        if (!ReadMore(path, buffer, &got, &missing))
            return missing;  // a file that is gone has nothing more to read
        if (checkOffset) {
            checkOffset = FALSE;
            if (!StoredOffsetHolds(&buffer->Piece)) {
                LogMessage(LogLevelInformation, L"The log file %s no longer holds what was read up to byte %I64u. "
                                                L"Reading it from its beginning.",
                           path, offset);
                StartBufferAt(buffer, 0);
                BeginScan(scan, 0, FALSE);
                continue;
            }
        }
        const LogPiece* piece = &buffer->Piece;
        BOOL atEnd = got < space;
        ULONGLONG fileEnd = piece->FileOffset + piece->Length;
        DecodePiece(buffer, scan, path, atEnd && fileEnd == finalSize);
        if (IsStopRequested())
            return TRUE;
        if (atEnd) {
            if (scan->DecodedEnd < fileEnd)
                *unfinishedEnd = fileEnd;
            return TRUE;
        }
        if (!MakeRoom(buffer))
            return FALSE;
    }
}

// A file that grows no more whose end is unfinished is read again once its
// size has held still for a while: just after midnight the product may still
// be writing the previous day's file. Only then is its end taken as it is;
// a file that keeps changing is left to be tried again later.
static BOOL ReadDayFile(const wchar_t* path, BOOL finished)
{
    DWORD waitBeforeAction = MonitorSettings->WaitBeforeAction;
    if (waitBeforeAction != 0 && WaitUnlessStopped(NULL, waitBeforeAction) == WaitStopped)
        return FALSE;
    if (IsStopRequested())
        return FALSE;

    PieceBuffer buffer;
    ZeroMemory(&buffer, sizeof(buffer));
    if (!AllocateBuffer(&buffer, LogReadingLimits.PieceBytes))
        return FALSE;
    ScanState scan;
    ULONGLONG finalSize = ~0ull, unfinishedEnd = 0;
    BOOL read = FALSE;
    for (int round = 0;; ++round) {
        read = ReadPieces(path, finalSize, &buffer, &scan, &unfinishedEnd);
        // Also after a failure or a stop: the lines decoded so far stay decoded.
        FinishScan(&scan);
        if (!read || !finished || unfinishedEnd == 0 || IsStopRequested())
            break;
        if (round == SettleRounds ||
            WaitUnlessStopped(NULL, LogReadingLimits.SettleMilliseconds) == WaitStopped) {
            read = FALSE;
            break;
        }
        finalSize = unfinishedEnd;
    }
    free(buffer.Data);
    // A stop may have ended the parsing before the last line.
    return read && !IsStopRequested();
}

BOOL ReadLogFile(const wchar_t* path)
{
    return ReadDayFile(path, FALSE);
}

BOOL ReadFinishedLogFile(const wchar_t* path)
{
    return ReadDayFile(path, TRUE);
}
