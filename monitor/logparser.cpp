#include "monitor/logparser.h"
#include "config/strings.h"
#include "core/pending.h"
#include <stdlib.h>

void ProcessFileContent(const char*) { NOT_BUILT_YET(L"ProcessFileContent"); }

void FreeLogRecord(LogRecord* record)
{
    FreeText(&record->TimeText);
    FreeText(&record->Text5);
    FreeText(&record->Text6);
    FreeText(&record->Text7);
    FreeText(&record->Text8);
    free(record);
}
