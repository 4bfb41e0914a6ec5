// The scan position: how far the antivirus log has been handled, kept in
// the settings record and in the registry so that a restart repeats nothing.
#pragma once
#include <windows.h>

// Sets Instance, TimeStamp and TimeStampTime and writes INSTANCE,
// TIMESTAMP and FILENAME to the registry, announced by PENDINGPOSITION (the
// whole new position in one value), which is deleted after them.
void SaveScanPosition(DWORD instance, const SYSTEMTIME* time);

// A PENDINGPOSITION left by a process that ended during a save holds the
// position that save was writing: it replaces the loaded one and the save is
// finished. An unreadable one is deleted with a warning.
void CompleteInterruptedScanPositionSave(void);
