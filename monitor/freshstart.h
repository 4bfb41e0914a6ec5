// The first start of a fresh installation, which has no scan position yet.
#pragma once
#include <windows.h>

// Without a scan position (no INSTANCE, TIMESTAMP or FILENAME in the
// registry) the position is set to now: to the end of the last complete
// line of today's day file, so that nothing already written is handled,
// and saved. Does nothing when the settings hold a position. Runs before
// the first reading.
void StartWithoutScanPosition(void);
