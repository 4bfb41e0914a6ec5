#include "actions/placeholders.h"
#include "actions/actionsupport.h"
#include "config/strings.h"
#include "core/limits.h"
#include "core/log.h"
#include "core/runstate.h"
#include <strsafe.h>

static void ReplaceByNumber(wchar_t* text, const wchar_t* placeholder, LONG value)
{
    wchar_t number[TextLimit];
    if (FAILED(StringCchPrintfW(number, TextLimit, L"%d", (int)value)))
        LogMessage(LogLevelError, L"Error formatting DWORD string.");
    Replace(text, placeholder, number);
}

// The nine replacements run in a fixed order, each on the result of the one
// before: text inserted by a step is searched by the later steps only.
void ExpandPlaceholders(wchar_t* text)
{
    if (!HasPercentSign(text))
        return;
    const LogRecord* record = CurrentRecord;
    if (record == NULL)
        return;
    Replace(text, L"%00", TextOrEmpty(record->TimeText));
    ReplaceByNumber(text, L"%01", record->Event);
    ReplaceByNumber(text, L"%02", record->Category);
    ReplaceByNumber(text, L"%03", record->Logger);
    Replace(text, L"%04", TextOrEmpty(record->Text5));
    Replace(text, L"%05", TextOrEmpty(record->Text6));
    Replace(text, L"%06", TextOrEmpty(record->Text7));
    Replace(text, L"%07", TextOrEmpty(record->Text8));
    ReplaceByNumber(text, L"%08", record->Number11);
}

void CopyAndExpand(const wchar_t* source, wchar_t* text, const wchar_t* copyFailure)
{
    if (FAILED(StringCchCopyW(text, TextLimit, TextOrEmpty(source))))
        LogMessage(LogLevelError, L"%s", copyFailure);
    ExpandPlaceholders(text);
}
