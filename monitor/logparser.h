// Decoding antivirus log lines and matching them against the rule.
//
// A line is decoded within its own bytes: every field routine works on a
// LineCursor whose End is the line's end, so a short, empty or cut-off line
// reads its missing fields as 0 or as an empty text and never takes
// characters from the next line or from beyond the end of its piece.
#pragma once
#include <windows.h>
#include "actions/logrecord.h"
#include "config/scanposition.h"

// The read position inside one line. Position moves on towards End; End is
// the line feed that ends the line (or the carriage return before it, or a
// NUL byte, or the end of the piece). Nothing at or after End is read.
typedef struct LineCursor {
    const char* Position;
    const char* End;
} LineCursor;

// One reading of a day file, carried from piece to piece (see BeginScan).
typedef struct ScanState {
    DWORD Instance;        // ordinal of the next matching line within its time stamp
    BOOL FirstOfScan;      // no line of this reading has been handled yet
    BOOL AllLinesNew;      // the reading resumed at the stored offset
    ULONGLONG DecodedEnd;  // the file's offset just after the last decoded line
    char BytesBefore[OffsetCheckBytes];  // the file's bytes before DecodedEnd
    size_t ByteCount;
} ScanState;

// A piece of the day file in memory: Data[0, Length) are the file's bytes
// from FileOffset on; nothing after them is read. The lines to decode begin
// at LineStart; the bytes before it are decoded already and kept only for
// the offset check: at least OffsetCheckBytes of them, or all from the
// start of the file.
typedef struct LogPiece {
    const char* Data;
    size_t Length;
    size_t LineStart;
    ULONGLONG FileOffset;
} LogPiece;

// A new reading of the file named by FileName that starts at offset.
// Resumed at the stored offset (allLinesNew), every line is new whatever
// its time stamp; otherwise the reading starts at the file's beginning, and
// a matching line is new only when it comes after the stored time stamp and
// instance.
void BeginScan(ScanState* scan, ULONGLONG offset, BOOL allLinesNew);

// Decodes the complete lines of the piece from LineStart on, runs the
// actions for new matching lines and saves the scan position after each.
// A last line without its line feed is still being written and is left for
// the next piece or reading, unless lastOfFinishedFile is set: the end of a
// file that grows no more (a previous day's). A line with a NUL byte before
// its line feed ends what is decoded. Returns the index of the first byte
// not decoded; returns early, between two lines, once a stop has been
// requested.
size_t ProcessLogPiece(ScanState* scan, const LogPiece* piece, BOOL lastOfFinishedFile);

// Counts the piece's bytes up to end (an index after LineStart) as decoded
// without decoding them: the rest of a line too long to handle.
void PassOverBytes(ScanState* scan, const LogPiece* piece, size_t end);

// Ends a reading: when lines that ran no action moved the decoded end past
// the saved offset, the scan position is saved once more with it.
void FinishScan(const ScanState* scan);

// A reading of content (NUL-terminated, owned by the caller), the file named
// by FileName from its beginning, by the time stamp and instance.
void ProcessFileContent(const char* content);

// Two characters as a hexadecimal byte (0 to 255). A character that is no
// hexadecimal digit, or that is missing at the end of the line, counts as 0.
// The cursor moves on by two characters, but never beyond the line's end.
BYTE ParseHexByte(LineCursor* cursor);

// A decimal number read the way strtol reads it in base 10 (leading white
// space, a sign, saturation at the 32-bit limits; no digits give 0 and leave
// the cursor in place), but never beyond the line's end. Then moves past a
// comma that follows.
LONG ParseNumberField(LineCursor* cursor);

// The field text up to the next comma or the line's end, decoded from
// codePage (the program passes CP_ACP), as a new owned text in slot (also
// when empty). A byte that starts no valid character of the code page (a
// cut or stray lead byte) becomes the character of the same value. Of a
// longer field the first 8191 characters are kept. Moves past the field and
// its comma.
void ExtractTextField(LineCursor* cursor, UINT codePage, wchar_t** slot);

// Moves past the field and its comma without reading it.
void SkipField(LineCursor* cursor);
