// Time since the program started, for the JSON events and the trace, and
// the time of day in UTC, for the JSON events and the station log.
#pragma once

#include <string>

namespace ql::flash {

// Seconds since the first call, which main makes first thing.
double SecondsSinceStart();

// Now in UTC, ISO 8601 to the millisecond: 2026-12-09T21:10:05.123Z.
std::string UtcNow();

}  // namespace ql::flash
