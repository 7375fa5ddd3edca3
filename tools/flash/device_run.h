// One device of a run of ql480tx-flash, on its own thread, and what all of
// them share: the options, the console, the stop request. A single run
// (single_run.h) and a station of the automatic mode (station_run.h) both
// work on these.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "checked_files.h"
#include "console.h"
#include "flash_job.h"
#include "flash_view.h"
#include "links.h"
#include "options.h"
#include "out_file.h"
#include "station.h"
#include "station_log.h"
#include "text/language.h"
#include "trace.h"

namespace ql::flash {

// What the runs of every device share. Read only while they run, except
// through the objects it points to, each safe for several threads.
struct RunShared {
  const Options& options;
  const FirmwareFacts& firmware;
  Console& console;
  text::Language language;
  ViewStyle style;
  // Set by a stop signal; `stopWait` ends the stations' pauses at once.
  const std::atomic<bool>& stop;
  StopWait& stopWait;
  std::uint32_t runWaitMs;
  OutputFile* out = nullptr;  // --read-flash: where the flash goes
  StationLog* log = nullptr;  // --log
};

struct DeviceRun {
  int index = 0;  // its status row
  RunLink link;
  std::string label;
  Job job;
  std::unique_ptr<FlashView> view;  // in automatic mode a fresh one for each unit
  // Writes the trace; nullptr without one.
  std::unique_ptr<DeviceObserver> observer;
  JobOutcome outcome;
  double seconds = 0;
  // Automatic mode: the units of this link so far, and their time together.
  StationSummary station;
  // A line of the station log could not be written.
  bool logFailed = false;
};

// The run of the device on `link`, the `index`th given: its job from the
// options, the file read at the start and the stored settings, and its view.
std::unique_ptr<DeviceRun> MakeDeviceRun(int index, const RunLink& link,
                                         const link::LinkSettings& stored, TraceFile* trace,
                                         const RunShared& shared);

// A fresh view for the device, as each unit gets one.
std::unique_ptr<FlashView> MakeView(const DeviceRun& run, const RunShared& shared);

// The device's first line: the link, the file with its header and block
// count (or where the flash read goes), where the link came from, and the
// automatic mode.
std::string UsingText(const DeviceRun& run, const RunShared& shared);

}  // namespace ql::flash
