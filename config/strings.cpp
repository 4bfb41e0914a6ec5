#include "config/strings.h"
#include "core/limits.h"
#include "core/log.h"
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <strsafe.h>

void FreeText(wchar_t** slot)
{
    free(*slot);
    *slot = NULL;
}

void CopyAllocate(const wchar_t* source, wchar_t** slot)
{
    if (*slot != NULL)
        LogMessage(LogLevelWarning, L"Destination pointer not NULL in CopyAllocate.");
    // The old text is released only after the copy is made, so a source
    // that is the slot's own text is never read after it was freed.
    wchar_t* previous = *slot;
    wchar_t* copy = NULL;
    if (source != NULL) {
        size_t length = 0;
        if (FAILED(StringCchLengthW(source, TextLimit, &length)))
            LogError(L"Error determining the length of the input string in CopyAllocate.");
        copy = (wchar_t*)malloc((length + 1) * sizeof(wchar_t));
        if (copy == NULL)
            LogError(L"Could not allocate buffer in CopyAllocate.");
        if (FAILED(StringCchCopyW(copy, length + 1, source)))
            LogError(L"Error copying a string in CopyAllocate.");
    }
    free(previous);
    *slot = copy;
}

static const wchar_t ReplaceAppendError[] = L"Error copying the replace string into Replace.";
static const wchar_t ResultAppendError[] = L"Error copying the result string into Source.";

// The result buffer of Replace: TextLimit characters, terminator included.
// With CutOnOverflow a result that doesn't fit keeps what fits and is marked
// Cut; otherwise the overflow is an error.
typedef struct ReplaceResult {
    wchar_t Text[TextLimit];
    size_t Used;
    BOOL CutOnOverflow;
    BOOL Cut;
} ReplaceResult;

static void AppendToResult(ReplaceResult* result, const wchar_t* characters, size_t count,
                           const wchar_t* overflowError)
{
    if (count > TextLimit - result->Used) {
        if (!result->CutOnOverflow) {
            LogError(overflowError);
            return;
        }
        count = TextLimit - result->Used;
        result->Cut = TRUE;
    }
    memcpy(result->Text + result->Used, characters, count * sizeof(wchar_t));
    result->Used += count;
}

// A cut result ends at the last whole character that fits: the terminator
// takes the last place, and a high surrogate whose partner was cut off goes
// too.
static void TerminateCutResult(ReplaceResult* result)
{
    size_t length = TextLimit - 1;
    if (IS_HIGH_SURROGATE(result->Text[length - 1]))
        --length;
    result->Text[length] = L'\0';
}

// How many leading characters of search the text starting at position
// matches. Stops at the text's terminator, as search holds none.
static size_t MatchedLength(const wchar_t* position, const wchar_t* search, size_t searchLength)
{
    size_t matched = 0;
    while (matched < searchLength && position[matched] == search[matched])
        ++matched;
    return matched;
}

// Every non-overlapping occurrence is replaced, left to right. A partial
// match that fails is given up one character at a time: the search goes on
// at the character after the one that began it, so an occurrence starting
// inside it ("{{BR}") is still found. Characters of a given-up partial
// match count as partial-match output for the overflow error; a replacement
// text is never searched again. Returns TRUE when the result was cut.
static BOOL ReplaceInText(wchar_t* text, const wchar_t* search, const wchar_t* replacement, BOOL cutOnOverflow)
{
    size_t textLength = 0, searchLength = 0, replacementLength = 0;
    if (FAILED(StringCchLengthW(text, TextLimit, &textLength)))
        LogError(L"Error determining the length of the input string in Replace.");
    if (FAILED(StringCchLengthW(search, TextLimit, &searchLength)))
        LogError(L"Error determining the length of the search string in Replace.");
    if (FAILED(StringCchLengthW(replacement, TextLimit, &replacementLength)))
        LogError(L"Error determining the length of the replace string in Replace.");
    if (searchLength == 0)
        return FALSE;  // an empty search text occurs nowhere

    ReplaceResult result;
    result.Used = 0;
    result.CutOnOverflow = cutOnOverflow;
    result.Cut = FALSE;
    size_t partialMatchEnd = 0;
    size_t position = 0;
    // The terminator is visited and copied like any other character.
    while (position <= textLength && !result.Cut) {
        size_t matched = MatchedLength(text + position, search, searchLength);
        if (matched == searchLength) {
            AppendToResult(&result, replacement, replacementLength, ReplaceAppendError);
            position += searchLength;
            continue;
        }
        if (position + matched > partialMatchEnd)
            partialMatchEnd = position + matched;
        AppendToResult(&result, text + position, 1,
                       position < partialMatchEnd ? ReplaceAppendError : ResultAppendError);
        ++position;
    }
    if (result.Cut)
        TerminateCutResult(&result);
    if (FAILED(StringCchCopyW(text, TextLimit, result.Text)))
        LogError(ResultAppendError);
    return result.Cut;
}

void Replace(wchar_t* text, const wchar_t* search, const wchar_t* replacement)
{
    ReplaceInText(text, search, replacement, FALSE);
}

BOOL ReplaceWithinLimit(wchar_t* text, const wchar_t* search, const wchar_t* replacement)
{
    return ReplaceInText(text, search, replacement, TRUE);
}

BOOL HasPercentSign(const wchar_t* text)
{
    size_t length = 0;
    if (FAILED(StringCchLengthW(text, TextLimit, &length))) {
        LogError(L"Error determining the length of the input string in Replace.");
        return FALSE;
    }
    return wmemchr(text, L'%', length) != NULL;
}

void Abbrev(const wchar_t* source, unsigned int maxLength, wchar_t* destination)
{
    size_t length = 0;
    if (FAILED(StringCchLengthW(source, TextLimit, &length)))
        LogError(L"Error determining the length of the input string in Abbrev.");
    if (destination == NULL)
        LogError(L"Error copying a string in Abbrev.");

    if (length <= maxLength) {
        if (FAILED(StringCchCopyW(destination, TextLimit, source)))
            LogError(L"Error copying a string in Abbrev.");
        return;
    }
    if (maxLength < 3) {
        destination[0] = L'\0';
        LogError(L"Error copying a string in Abbrev.");
        return;
    }
    if (FAILED(StringCchCopyNW(destination, TextLimit, source, maxLength - 3)))
        LogError(L"Error copying a string in Abbrev.");
    if (FAILED(StringCchCatW(destination, TextLimit, L"...")))
        LogError(L"Error concatenating a string in Abbrev.");
}

// An empty directory means "no directory": the result is the file name
// alone, not a path from the root of the drive.
void CombinePath(const wchar_t* directory, const wchar_t* fileName, wchar_t* destination)
{
    size_t length = 0;
    if (destination == NULL)
        LogError(L"Error determining the length of a string.");
    if (directory == NULL || FAILED(StringCchCopyW(destination, PathLimit, directory)))
        LogError(L"Error copying a directory name.");
    if (FAILED(StringCchLengthW(destination, PathLimit, &length)))
        LogError(L"Error determining the length of a string.");

    if (length > 0 && destination[length - 1] != L'\\' &&
        FAILED(StringCchCatW(destination, PathLimit, L"\\")))
        LogError(L"Error adding a file name to a directory name.");
    if (fileName == NULL || FAILED(StringCchCatW(destination, PathLimit, fileName)))
        LogError(L"Error adding a file name to a directory name.");
}
