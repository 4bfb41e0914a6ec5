// Reading a day file, shared with the antivirus product, in pieces.
#pragma once
#include <windows.h>

// The size of a piece, and of the longest line that is decoded (a longer
// one is passed over with a warning): the reader's memory stays within
// about these two, whatever the file's size. How long a finished file's
// size must hold still before its unfinished end is taken as it is, and
// how often a file that stays unreadable is reported again. Tests make
// them smaller.
typedef struct ReadingLimits {
    size_t PieceBytes;
    size_t LineBytes;
    DWORD SettleMilliseconds;
    DWORD ReminderMilliseconds;
} ReadingLimits;
extern ReadingLimits LogReadingLimits;

// Reads what is new in the file named by FileName, from the stored offset
// when the file still holds what was read up to it, and hands its complete
// lines to the parser. A run of zero bytes that more data follows is a hole
// left by a lost write: it is passed over, with the line it cut off and one
// warning. At the end of the file, zero bytes are not yet written and are
// left for the next reading. TRUE when the file was read and processed, or
// is not there; FALSE when the reading failed (a warning says why) or was
// abandoned for a stop, so that the caller tries again.
BOOL ReadLogFile(const wchar_t* path);

// The same for a file that grows no more (a previous day's file): once its
// size has held still for SettleMilliseconds, its last line counts also
// without a line feed, and zero bytes at its end are a hole as well.
BOOL ReadFinishedLogFile(const wchar_t* path);
