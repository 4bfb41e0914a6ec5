#include "actions/placeholders.h"
#include "actions/actionsupport.h"
#include "actions/logrecord.h"
#include "config/strings.h"
#include "core/limits.h"
#include "core/log.h"
#include <strsafe.h>

static const wchar_t* const PlaceholderNames[] = { L"%00", L"%01", L"%02", L"%03", L"%04",
                                                   L"%05", L"%06", L"%07", L"%08" };
enum { PlaceholderCount = sizeof(PlaceholderNames) / sizeof(PlaceholderNames[0]) };

int PlaceholderAt(const wchar_t* text)
{
    if (text[0] != L'%' || text[1] != L'0' || text[2] < L'0' || text[2] > L'8')
        return -1;
    return text[2] - L'0';
}

BOOL IsNumberPlaceholder(int placeholder)
{
    return (placeholder >= 1 && placeholder <= 3) || placeholder == 8;
}

static const wchar_t* NumberText(LONG value, wchar_t* number)
{
    if (FAILED(StringCchPrintfW(number, NumberTextCapacity, L"%d", (int)value)))
        LogError(L"Error formatting DWORD string.");
    return number;
}

const wchar_t* PlaceholderValue(int placeholder, wchar_t* number)
{
    const LogRecord* record = CurrentRecord;
    if (record == NULL)
        return NULL;
    switch (placeholder) {
    case 0: return TextOrEmpty(record->TimeText);
    case 1: return NumberText(record->Event, number);
    case 2: return NumberText(record->Category, number);
    case 3: return NumberText(record->Logger, number);
    case 4: return TextOrEmpty(record->Text5);
    case 5: return TextOrEmpty(record->Text6);
    case 6: return TextOrEmpty(record->Text7);
    case 7: return TextOrEmpty(record->Text8);
    default: return NumberText(record->Number11, number);
    }
}

// The nine replacements run in a fixed order, each on the result of the one
// before: text inserted by a step is searched by the later steps only. Log
// fields may be long; a result that doesn't fit is cut, never fatal.
BOOL ExpandPlaceholders(wchar_t* text)
{
    if (!HasPercentSign(text) || CurrentRecord == NULL)
        return FALSE;
    BOOL cut = FALSE;
    wchar_t number[NumberTextCapacity];
    for (int placeholder = 0; placeholder < PlaceholderCount; ++placeholder) {
        if (ReplaceWithinLimit(text, PlaceholderNames[placeholder], PlaceholderValue(placeholder, number)))
            cut = TRUE;
    }
    return cut;
}

BOOL CopyAndExpand(const wchar_t* source, wchar_t* text, const wchar_t* copyFailure)
{
    if (FAILED(StringCchCopyW(text, TextLimit, TextOrEmpty(source))))
        LogError(L"%s", copyFailure);
    return ExpandPlaceholders(text);
}

void ReportCutText(const wchar_t* actionName)
{
    SetLastError(ERROR_SUCCESS);  // no system error is involved
    LogMessage(LogLevelWarning, L"The text of the %s action was cut to 8191 characters: the log line's values "
                                L"don't fit.", actionName);
}
