#include "actions/actions.h"
#include "core/pending.h"

void ExecuteProgramAction(void) { NOT_BUILT_YET(L"ExecuteProgramAction"); }
