#include "config/strings.h"
#include "core/pending.h"
#include <stdlib.h>

void FreeText(wchar_t** slot)
{
    free(*slot);
    *slot = NULL;
}

void CopyAllocate(const wchar_t*, wchar_t**) { NOT_BUILT_YET(L"CopyAllocate"); }
void Replace(wchar_t*, const wchar_t*, const wchar_t*) { NOT_BUILT_YET(L"Replace"); }
BOOL HasPercentSign(const wchar_t*) { NOT_BUILT_YET(L"HasPercentSign"); return FALSE; }
void Abbrev(const wchar_t*, unsigned int, wchar_t*) { NOT_BUILT_YET(L"Abbrev"); }
void CombinePath(const wchar_t*, const wchar_t*, wchar_t*) { NOT_BUILT_YET(L"CombinePath"); }
void GetDirectory(wchar_t*, size_t) { NOT_BUILT_YET(L"GetDirectory"); }
