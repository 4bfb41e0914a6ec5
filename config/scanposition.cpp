#include "config/scanposition.h"
#include "core/pending.h"

void FormatTimeStamp(const SYSTEMTIME*, wchar_t*) { NOT_BUILT_YET(L"FormatTimeStamp"); }
void SaveScanPosition(DWORD, const SYSTEMTIME*) { NOT_BUILT_YET(L"SaveScanPosition"); }
