// Bounded wide-string utilities. Every failure is logged; all but the
// warning of CopyAllocate are errors, which end the process, so an
// operation that returns has succeeded. ReplaceWithinLimit alone cuts a
// result that doesn't fit and says so instead.
#pragma once
#include <windows.h>
#include <stddef.h>

// Fills the slot with an owned copy of source (null for a null source).
// A slot that is already set is released first, with a warning.
void CopyAllocate(const wchar_t* source, wchar_t** slot);

// Releases an owned text and clears its slot.
void FreeText(wchar_t** slot);

// Replaces every occurrence of search in text (a buffer of TextLimit
// characters), left to right, in place.
void Replace(wchar_t* text, const wchar_t* search, const wchar_t* replacement);

// Replace for texts that take values from outside (a log line): a result
// that would pass 8191 characters is cut there, on a character boundary,
// instead of ending the process. Returns TRUE when it was cut. The other
// failures are errors, as with Replace.
BOOL ReplaceWithinLimit(wchar_t* text, const wchar_t* search, const wchar_t* replacement);

BOOL HasPercentSign(const wchar_t* text);

// Copies source into destination (TextLimit characters), shortened to
// maxLength characters with "..." when longer.
void Abbrev(const wchar_t* source, unsigned int maxLength, wchar_t* destination);

// destination (PathLimit characters) = directory, a backslash if needed,
// fileName.
void CombinePath(const wchar_t* directory, const wchar_t* fileName, wchar_t* destination);
