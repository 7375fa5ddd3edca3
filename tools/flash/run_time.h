// Time since the program started, for the JSON events and the trace.
#pragma once

namespace ql::flash {

// Seconds since the first call, which main makes first thing.
double SecondsSinceStart();

}  // namespace ql::flash
