#include "actions/actions.h"
#include "core/pending.h"

void ExecuteMessageAction(void) { NOT_BUILT_YET(L"ExecuteMessageAction"); }
