#include "monitor/logwatcher.h"
#include "core/pending.h"

void ProcessTodaysLogFile(void) { NOT_BUILT_YET(L"ProcessTodaysLogFile"); }
void WatchLogFile(void) { NOT_BUILT_YET(L"WatchLogFile"); }
void OnLogDirectoryChange(wchar_t*, const wchar_t*, FILETIME*) { NOT_BUILT_YET(L"OnLogDirectoryChange"); }
void CheckLogFileChange(const wchar_t*, const wchar_t*, FILETIME*) { NOT_BUILT_YET(L"CheckLogFileChange"); }
