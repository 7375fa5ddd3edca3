// One run of a device's procedures to its end: the whole of a device's work
// without --repeat, and each unit of a station with it.
#pragma once

#include "device_run.h"
#include "json_events.h"
#include "link/clock.h"

namespace ql::flash {

// Runs the device's job once on `clock`, leaving its status in
// `run.outcome`; with --read-flash writes what was read into OUT. Returns
// what the closing record adds: the reason of a failure, or what the device
// holds after a stop (also said on standard error).
Json RunOnce(DeviceRun& run, const RunShared& shared, link::Clock& clock);

// A device's work without --repeat: one run, then its result record and,
// with --log, its line in the station log.
void RunSingle(DeviceRun& run, const RunShared& shared, link::Clock& clock);

}  // namespace ql::flash
