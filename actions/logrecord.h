// The decoded log line being handled: filled by the parser, read by the
// actions' placeholders.
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

// The line being handled: set and released per line by the watcher thread;
// released at the stop (any thread) if one is still set.
extern LogRecord* volatile CurrentRecord;

// Releases a record with the texts it owns.
void FreeLogRecord(LogRecord* record);

// Takes CurrentRecord out of its slot and releases it (once).
void ReleaseCurrentRecord(void);
