// Decoding antivirus log lines and matching them against the rule.
//
// A line is decoded within its own bytes: every field routine works on a
// LineCursor whose End is the line's end, so a short, empty or cut-off line
// reads its missing fields as 0 or as an empty text and never takes
// characters from the next line or from beyond the terminating NUL.
#pragma once
#include <windows.h>
#include "actions/logrecord.h"

// The read position inside one line. Position moves on towards End; End is
// the line feed that ends the line (or the carriage return before it, or the
// terminating NUL of the content). Nothing at or after End is read.
typedef struct LineCursor {
    const char* Position;
    const char* End;
} LineCursor;

// Decodes every complete line of content (NUL-terminated, owned by the
// caller), runs the actions for new matching lines and advances the scan
// position. A last line without its line feed is still being written and is
// left for the next reading. Returns early, between two lines, once a stop
// has been requested.
void ProcessFileContent(const char* content);

// The same for a file that grows no more (a previous day's file): its last
// line is decoded also without a line feed.
void ProcessFinishedFileContent(const char* content);

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
