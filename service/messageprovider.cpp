#include "service/service.h"
#include "core/pending.h"

void InstallMessageProvider(void) { NOT_BUILT_YET(L"InstallMessageProvider"); }
void RemoveMessageProvider(void) { NOT_BUILT_YET(L"RemoveMessageProvider"); }
