// Realistic antivirus day-log content for the benchmarks.
//
// Lines follow the product's layout (time, event, category, logger,
// computer, user, risk, path, three actions, then the later fields with a
// quoted description), are 250 to 450 bytes long including CR LF, and all
// carry times of one day between 00:00:00 and 22:59:59. About one line in
// eight matches the benchmark rule (event 51, category 1, logger 2). With
// the scan position at StoredPosition every generated line is old; the line
// of NewMatchingLine is the one new line.
#pragma once
#include <stddef.h>
#include <string>

// The benchmark rule.
enum { BenchEvent = 51, BenchCategory = 1, BenchLogger = 2 };

// 17 May 2023: 23:00:00 is the stored scan position, 23:30:00 the time of
// the new line.
#define BENCH_STORED_POSITION "350411170000"
#define BENCH_NEW_LINE_TIME   "3504111E0000"

// Appends generated old lines while content is shorter than size bytes, so
// it ends at most one line beyond size. The same seed gives the same lines.
void AppendOldLines(std::string& content, size_t size, unsigned int seed);

// One matching line at BENCH_NEW_LINE_TIME, CR LF terminated.
std::string NewMatchingLine(void);
