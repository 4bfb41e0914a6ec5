// Decoding antivirus log lines and matching them against the rule.
#pragma once
#include <windows.h>

// One decoded log line. The text fields and TimeText are owned and are
// filled only for a line whose actions run.
typedef struct LogRecord {
    SYSTEMTIME Time;
    wchar_t* TimeText;   // %00
    LONG Event;          // %01, field 2
    LONG Category;       // %02, field 3
    LONG Logger;         // %03, field 4
    wchar_t* Text5;      // %04
    wchar_t* Text6;      // %05
    wchar_t* Text7;      // %06
    wchar_t* Text8;      // %07
    LONG Number11;       // %08
} LogRecord;

// Decodes every line of content (NUL-terminated, owned by the caller), runs
// the actions for new matching lines and advances the scan position.
void ProcessFileContent(const char* content);

// Releases a record with the texts it owns.
void FreeLogRecord(LogRecord* record);
