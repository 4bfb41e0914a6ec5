#include "actions/actions.h"
#include "core/pending.h"

void ExecuteSyslogAction(void) { NOT_BUILT_YET(L"ExecuteSyslogAction"); }
