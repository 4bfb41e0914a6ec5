// Reading one day file whole, shared with the antivirus product.
#pragma once
#include <windows.h>

// Reads the file whole and hands its complete lines to the parser. TRUE when
// the file was read and processed; FALSE when the reading failed (a warning
// says why) or was abandoned for a stop, so that the caller tries again.
BOOL ReadLogFile(const wchar_t* path);

// The same for a file that grows no more (a previous day's file): its last
// line counts also without a line feed.
BOOL ReadFinishedLogFile(const wchar_t* path);
