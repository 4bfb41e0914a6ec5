// Placeholder for routines that are not built yet: they end the process
// with an error instead of pretending to succeed.
#pragma once
#include "core/log.h"

#define NOT_BUILT_YET(name) LogMessage(LogLevelError, L"%s is not available in this build.", name)
