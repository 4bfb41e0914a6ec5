// The scan position: how far the antivirus log has been handled, kept in
// the settings record and in the registry so that a restart repeats nothing.
#pragma once
#include <windows.h>

// Writes the 12-digit upper-case time-stamp text and its terminator.
void FormatTimeStamp(const SYSTEMTIME* time, wchar_t* destination);

// Sets Instance, TimeStamp and TimeStampTime and writes INSTANCE,
// TIMESTAMP and FILENAME to the registry.
void SaveScanPosition(DWORD instance, const SYSTEMTIME* time);
