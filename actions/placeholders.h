// Fills "%00" to "%08" of an action text with the values of the log line
// being handled (CurrentRecord).
#pragma once

// text: a buffer of TextLimit characters, changed in place.
void ExpandPlaceholders(wchar_t* text);
