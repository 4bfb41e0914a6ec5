// Fills "%00" to "%08" of an action text with the values of the log line
// being handled (CurrentRecord).
#pragma once
#include <windows.h>

// text: a buffer of TextLimit characters, changed in place. Returns TRUE
// when the values didn't fit and the text was cut to 8191 characters.
BOOL ExpandPlaceholders(wchar_t* text);

// "%0n" is three characters; the longest number text is "-2147483648".
enum { PlaceholderLength = 3, NumberTextCapacity = 12 };

// The placeholder number (0 to 8) of the "%0n" that text begins with, or -1.
int PlaceholderAt(const wchar_t* text);

// TRUE for the placeholders of numbers ("%01" to "%03", "%08").
BOOL IsNumberPlaceholder(int placeholder);

// The value of a placeholder in the line being handled, as text; NULL when
// no line is being handled. A number is written into number
// (NumberTextCapacity characters) and the result points there.
const wchar_t* PlaceholderValue(int placeholder, wchar_t* number);
