// Reading a day file, shared with the antivirus product, in pieces.
#pragma once
#include <windows.h>

// The size of a piece, and of the longest line that is decoded (a longer
// one is passed over with a warning). The reader's memory stays within
// about these two, whatever the file's size. Tests make them smaller.
typedef struct ReadingLimits {
    size_t PieceBytes;
    size_t LineBytes;
} ReadingLimits;
extern ReadingLimits LogReadingLimits;

// Reads what is new in the file named by FileName, from the stored offset
// when the file still holds what was read up to it, and hands its complete
// lines to the parser. TRUE when the file was read and processed; FALSE
// when the reading failed (a warning says why) or was abandoned for a stop,
// so that the caller tries again.
BOOL ReadLogFile(const wchar_t* path);

// The same for a file that grows no more (a previous day's file): its last
// line counts also without a line feed.
BOOL ReadFinishedLogFile(const wchar_t* path);
