// Reading one day file whole, shared with the antivirus product.
#pragma once
#include <windows.h>

void ReadLogFile(const wchar_t* path);
