// A day file is read in pieces of a fixed size from where the last reading
// ended, so that a reading costs time and memory in proportion to what was
// appended, not to the file. The antivirus product keeps the file open for
// writing, so it is opened shared and the opening is retried. Every failure
// is a warning; the caller tries again. The waits of a reading end early on
// a stop request, which abandons the reading without a warning.
#include "monitor/logreader.h"
#include "config/scanposition.h"
#include "config/settings.h"
#include "core/log.h"
#include "core/runstate.h"
#include "monitor/logparser.h"
#include <stdlib.h>
#include <string.h>

enum { OpenAttempts = 20, OpenRetryFallbackWait = 54 };

ReadingLimits LogReadingLimits = { 1u << 20, 4u << 20 };

// Up to 20 attempts, each followed by a random wait when it fails.
static HANDLE OpenLogFileShared(const wchar_t* path)
{
    for (int attempt = 0; attempt < OpenAttempts; ++attempt) {
        HANDLE file = CreateFileW(path, FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE)
            return file;
        DWORD openError = GetLastError();
        if (WaitUnlessStopped(NULL, RandomWaitInterval(OpenRetryFallbackWait)) == WaitStopped)
            return INVALID_HANDLE_VALUE;
        SetLastError(openError);  // the warning names why the opening failed
    }
    LogMessage(LogLevelWarning,
               L"Read operation aborted after 20 unsuccessful tries with a random waiting interval in between.");
    return INVALID_HANDLE_VALUE;
}

// The bytes of the file in memory, and how far they are decoded.
typedef struct PieceBuffer {
    char* Data;
    size_t Capacity;
    LogPiece Piece;    // Data[0, Piece.Length): the file's bytes from Piece.FileOffset
    BOOL PassingOver;  // the rest of a line too long to decode is skipped
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
}

// Appends what the file holds after the buffer's bytes, as much as fits;
// *got tells how much. The file is closed before the bytes are decoded:
// actions may take long, and an open handle would keep the product from
// deleting or renaming the file.
static BOOL ReadMore(const wchar_t* path, PieceBuffer* buffer, size_t* got)
{
    HANDLE file = OpenLogFileShared(path);
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
        SetLastError(readError);
        LogMessage(LogLevelWarning, L"Error reading the input file. File processing aborted.");
        return FALSE;
    }
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
// the end of a finished file. The line is reported once its end is found.
static void ContinuePassingOver(PieceBuffer* buffer, ScanState* scan, const wchar_t* path, BOOL lastOfFinishedFile)
{
    LogPiece* piece = &buffer->Piece;
    const char* lineFeed = (const char*)memchr(piece->Data + piece->LineStart, '\n', piece->Length - piece->LineStart);
    if (lineFeed == NULL && !lastOfFinishedFile) {
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
// before it; otherwise it starts at the file's beginning.
static BOOL ReadPieces(const wchar_t* path, BOOL finished, PieceBuffer* buffer, ScanState* scan)
{
    ULONGLONG offset = MonitorSettings->Offset;
    BOOL checkOffset = offset != 0;
    StartBufferAt(buffer, offset);
    BeginScan(scan, offset, checkOffset);
    for (;;) {
        size_t space = buffer->Capacity - buffer->Piece.Length;
        size_t got = 0;
        if (!ReadMore(path, buffer, &got))
            return FALSE;
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
        BOOL atEnd = got < space;
        if (buffer->PassingOver)
            ContinuePassingOver(buffer, scan, path, finished && atEnd);
        LogPiece* piece = &buffer->Piece;
        piece->LineStart = ProcessLogPiece(scan, piece, finished && atEnd);
        // Behind a NUL byte the file is not yet written: the next reading
        // reads on from its line.
        if (atEnd || IsStopRequested() || memchr(piece->Data + piece->LineStart, '\0', piece->Length - piece->LineStart))
            return TRUE;
        if (!MakeRoom(buffer))
            return FALSE;
    }
}

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
    BOOL read = ReadPieces(path, finished, &buffer, &scan);
    // Also after a failure or a stop: the lines decoded so far stay decoded.
    FinishScan(&scan);
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
