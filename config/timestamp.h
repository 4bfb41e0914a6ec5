// The time-stamp text of the scan position and of the log lines: six bytes
// as hexadecimal digit pairs (years since 1970, month - 1, day, hour, minute,
// second).
#pragma once
#include <windows.h>

enum { TimeStampCapacity = 13 };  // 12 digits and the terminator

// Writes the 12-digit upper-case time-stamp text and its terminator.
void FormatTimeStamp(const SYSTEMTIME* time, wchar_t* destination);

// Reads a time-stamp text; see timestamp.cpp for texts that are short or
// hold other characters.
void ParseTimeStamp(const wchar_t* text, SYSTEMTIME* time);

// The value of a hexadecimal digit (either case), or 0 for any other
// character.
int HexDigitValue(unsigned int c);
