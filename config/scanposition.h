// The scan position: how far the antivirus log has been handled, kept in
// the settings record and in the registry so that a restart repeats nothing.
//
// Beside the time stamp and instance of the last handled line it keeps the
// offset just after the last decoded line of FileName, and a check that
// ties that offset to the file's bytes before it and to the position it was
// stored with. A reading resumes at the offset only while the check holds:
// a file truncated, replaced or rewritten, or a position edited by hand,
// falls back to the time stamp and instance.
#pragma once
#include <windows.h>

// How many bytes before an offset its check covers: OffsetCheckBytes, or
// all of them near the start of the file.
enum { OffsetCheckBytes = 256 };
static inline size_t CheckedBytesBefore(ULONGLONG offset)
{
    return offset < OffsetCheckBytes ? (size_t)offset : (size_t)OffsetCheckBytes;
}

// Where the decoding of FileName ended: the offset just after the last
// decoded line, and the bytes before it (at most OffsetCheckBytes, all of
// them when the offset is smaller).
typedef struct DecodedEnd {
    ULONGLONG Offset;
    const char* BytesBefore;
    size_t ByteCount;
} DecodedEnd;

// The check of an offset with the given bytes before it, under the
// position (TimeStamp, Instance, FileName) now in the settings.
DWORD ComputeOffsetCheck(const char* bytesBefore, size_t byteCount);

// Sets Instance, TimeStamp, TimeStampTime, Offset and OffsetCheck and writes
// INSTANCE, TIMESTAMP, FILENAME, OFFSET and OFFSETCHECK to the registry,
// announced by PENDINGPOSITION (the whole new position in one value), which
// is deleted after them.
void SaveScanPosition(DWORD instance, const SYSTEMTIME* time, const DecodedEnd* end);

// A PENDINGPOSITION left by a process that ended during a save holds the
// position that save was writing: it replaces the loaded one and the save is
// finished. An unreadable one is deleted with a warning.
void CompleteInterruptedScanPositionSave(void);
