#include "monitor/logreader.h"
#include "core/pending.h"

void ReadLogFile(const wchar_t*) { NOT_BUILT_YET(L"ReadLogFile"); }
