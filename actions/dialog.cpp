#include "actions/actions.h"
#include "core/pending.h"

void ExecuteDialogAction(void) { NOT_BUILT_YET(L"ExecuteDialogAction"); }
