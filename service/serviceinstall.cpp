#include "service/service.h"
#include "core/pending.h"

void InstallService(void) { NOT_BUILT_YET(L"InstallService"); }
void RemoveService(void) { NOT_BUILT_YET(L"RemoveService"); }
void StartStopService(BOOL) { NOT_BUILT_YET(L"StartStopService"); }
