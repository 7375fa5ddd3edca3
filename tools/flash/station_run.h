// A device's work with --repeat: its link is a station that upgrades one
// unit after another until stopped (station.h decides when a unit has come
// and gone). Each unit gets a fresh view, its own record and, with --log,
// its line in the station log, written before the next unit starts; the
// station ends with its result record.
#pragma once

#include "device_run.h"
#include "link/clock.h"

namespace ql::flash {

// Runs the station of `run` until a stop. `run.outcome` is then the highest
// status of its units ("stopped", or "interrupted" when a stop cut a unit
// short) and `run.station` its tally.
void RunStationOf(DeviceRun& run, const RunShared& shared, link::Clock& clock);

}  // namespace ql::flash
