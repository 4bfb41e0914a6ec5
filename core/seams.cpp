#include "core/seams.h"
#include <wtsapi32.h>

PlatformCalls Platform = {
    WTSSendMessageW,
    OpenEventLogW,
    GetOldestEventLogRecord,
    GetNumberOfEventLogRecords,
    ReadEventLogW,
    NotifyChangeEventLog,
    CloseEventLog,
    WTSGetActiveConsoleSessionId,
};
