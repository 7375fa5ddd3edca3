// Setting up one device of a run.
#include "device_run.h"

#include "json_events.h"

namespace ql::flash {

std::unique_ptr<DeviceRun> MakeDeviceRun(int index, const RunLink& link,
                                         const link::LinkSettings& stored, TraceFile* trace,
                                         const RunShared& shared) {
  const Options& options = shared.options;
  const auto& firmware = shared.firmware.firmware;
  auto run = std::make_unique<DeviceRun>();
  run->index = index;
  run->link = link;
  run->label = link.link.Label();
  run->job.mode = options.mode;
  run->job.firmwarePath = options.firmwarePath;
  run->job.firmware = firmware;
  run->job.fileVersionText = firmware ? firmware->headerText : "";
  run->job.deviceId = options.deviceId;
  run->job.stored = stored;
  run->job.controls =
      link.stored ? StoredControls(stored) : ControlsFor(link.link, link.address, stored);
  if (trace != nullptr) {
    run->observer = std::make_unique<DeviceObserver>(run->label, trace);
  }
  run->station.device = run->label;
  run->view = MakeView(*run, shared);
  return run;
}

std::unique_ptr<FlashView> MakeView(const DeviceRun& run, const RunShared& shared) {
  return std::make_unique<FlashView>(shared.console, run.index, run.label, shared.language,
                                     shared.style);
}

std::string UsingText(const DeviceRun& run, const RunShared& shared) {
  const Options& options = shared.options;
  std::string text = "Using " + DescribeLink(run.link);
  if (options.mode == Mode::ReadFlash) {
    text +=
        "; reading " + std::to_string(kReadFlashBlocks) + " blocks into " + options.readFlashPath;
  } else {
    // The header quoted as a JSON string shows blanks and odd bytes plainly.
    text += "; firmware " + options.firmwarePath + ", header " +
            JsonLine(Latin1ToUtf8(shared.firmware.firmware->headerText)) + ", " +
            std::to_string(shared.firmware.blocks) + " blocks";
  }
  if (run.link.stored) {
    text += " (link stored by the window)";
  }
  if (options.repeat) {
    text += "; one unit after another until stopped";
  }
  return text;
}

}  // namespace ql::flash
