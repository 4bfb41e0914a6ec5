#include "actions/logrecord.h"
#include "config/strings.h"
#include <stdlib.h>

LogRecord* volatile CurrentRecord = NULL;

void FreeLogRecord(LogRecord* record)
{
    FreeText(&record->TimeText);
    FreeText(&record->Text5);
    FreeText(&record->Text6);
    FreeText(&record->Text7);
    FreeText(&record->Text8);
    free(record);
}

// Taken out of CurrentRecord atomically: an error entry on this thread may
// have released it already (ReleaseGlobals).
void ReleaseCurrentRecord(void)
{
    LogRecord* record = (LogRecord*)InterlockedExchangePointer((PVOID volatile*)&CurrentRecord, NULL);
    if (record != NULL)
        FreeLogRecord(record);
}
