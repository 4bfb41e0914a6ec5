#include "config/timestamp.h"
#include <strsafe.h>

// Six bytes as two upper-case hexadecimal digits each: years since 1970,
// month - 1, day, hour, minute, second. A year outside 1970 to 2225 wraps.
void FormatTimeStamp(const SYSTEMTIME* time, wchar_t* destination)
{
    StringCchPrintfW(destination, TimeStampCapacity, L"%02X%02X%02X%02X%02X%02X",
                     (unsigned int)(BYTE)(time->wYear - 1970), (unsigned int)(BYTE)(time->wMonth - 1),
                     (unsigned int)(BYTE)time->wDay, (unsigned int)(BYTE)time->wHour,
                     (unsigned int)(BYTE)time->wMinute, (unsigned int)(BYTE)time->wSecond);
}

int HexDigitValue(unsigned int c)
{
    if (c >= L'0' && c <= L'9')
        return (int)(c - L'0');
    if (c >= L'A' && c <= L'F')
        return (int)(c - L'A') + 10;
    if (c >= L'a' && c <= L'f')
        return (int)(c - L'a') + 10;
    return 0;
}

// Six pairs of hexadecimal digits. A character that is no digit counts as
// 0, and so does every digit missing from a text shorter than 12
// characters: nothing after the terminator is read. No range is checked.
void ParseTimeStamp(const wchar_t* text, SYSTEMTIME* time)
{
    WORD pairs[6] = { 0, 0, 0, 0, 0, 0 };
    BOOL ended = (text == NULL);
    for (int i = 0; i < 12; ++i) {
        if (!ended && text[i] == L'\0')
            ended = TRUE;
        int digit = ended ? 0 : HexDigitValue(text[i]);
        pairs[i / 2] = (WORD)(pairs[i / 2] * 16 + digit);
    }
    time->wYear = (WORD)(pairs[0] + 1970);
    time->wMonth = (WORD)(pairs[1] + 1);
    time->wDay = pairs[2];
    time->wHour = pairs[3];
    time->wMinute = pairs[4];
    time->wSecond = pairs[5];
}
