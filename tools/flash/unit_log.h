// The station log's line for one unit (without --repeat: for one device):
// when it began, the link and the unit's number on it, the device
// information before and after, the firmware file by name, size and SHA-256,
// how it ended and in what time.
#pragma once

#include <optional>
#include <string>

#include "device_run.h"
#include "json_events.h"

namespace ql::flash {

struct UnitRecord {
  std::string utc;  // when the unit's run began
  std::string link;
  int unit = 0;
  // What the device answered to the connect before anything was written,
  // and after its run; nullopt where it did not answer, or was not asked.
  std::optional<std::string> infoBefore;
  std::optional<std::string> infoAfter;
  int status = 0;
  std::string outcome;
  std::optional<std::string> message;  // the message table's text; nullopt after a stop
  std::optional<std::string> reason;   // why it failed, or what a stopped unit holds
  double seconds = 0;
};

// The record as a line of the log.
Json LogLine(const UnitRecord& unit, const RunShared& shared);

// How the run of `run` ended, from its view, for unit `number` that began
// at `utc`; `extra` is what its closing record added (a reason, or what the
// device holds after a stop).
UnitRecord RecordOf(const DeviceRun& run, int number, const std::string& utc, double seconds,
                    const Json& extra);

// Appends the record to the log. A line that cannot be written is said on
// standard error and makes the program's status at least 2; the devices go on.
void WriteUnitRecord(DeviceRun& run, const RunShared& shared, const UnitRecord& unit);

}  // namespace ql::flash
