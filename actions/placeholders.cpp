#include "actions/placeholders.h"
#include "core/pending.h"

void ExpandPlaceholders(wchar_t*) { NOT_BUILT_YET(L"ExpandPlaceholders"); }
