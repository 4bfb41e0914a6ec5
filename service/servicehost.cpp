#include "service/service.h"
#include "core/pending.h"

void WINAPI ServiceMain(DWORD, LPWSTR*) { NOT_BUILT_YET(L"ServiceMain"); }
void WINAPI ServiceControlHandler(DWORD) { NOT_BUILT_YET(L"ServiceControlHandler"); }
