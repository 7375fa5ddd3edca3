// Building and writing the station log's line for one unit.
#include "unit_log.h"

#include "station_log.h"

namespace ql::flash {
namespace {

Json Text(const std::optional<std::string>& text, bool latin1 = false) {
  if (!text) {
    return nullptr;
  }
  return latin1 ? Latin1ToUtf8(*text) : *text;
}

}  // namespace

Json LogLine(const UnitRecord& unit, const RunShared& shared) {
  const FirmwareFacts& firmware = shared.firmware;
  Json line;
  line["utc"] = unit.utc;
  line["link"] = unit.link;
  line["unit"] = unit.unit;
  line["device_info_before"] = Text(unit.infoBefore, true);
  line["device_info_after"] = Text(unit.infoAfter, true);
  line["file"] = shared.options.firmwarePath;
  line["file_size"] = firmware.firmware ? firmware.firmware->length : 0;
  line["sha256"] = firmware.sha256;
  line["status"] = unit.status;
  line["outcome"] = unit.outcome;
  line["message"] = Text(unit.message);
  line["reason"] = Text(unit.reason);
  line["seconds"] = Milliseconds(unit.seconds);
  return line;
}

UnitRecord RecordOf(const DeviceRun& run, int number, const std::string& utc, double seconds,
                    const Json& extra) {
  const FlashView& view = *run.view;
  UnitRecord unit;
  unit.utc = utc;
  unit.link = run.label;
  unit.unit = number;
  if (!view.deviceText().empty()) {
    unit.infoBefore = view.deviceText();
  }
  unit.status = run.outcome.status;
  unit.outcome = run.outcome.outcome;
  if (run.outcome.status != kExitInterrupted && !view.lastMessage().empty()) {
    unit.message = view.lastMessage();
  }
  for (const char* field : {"reason", "holds"}) {
    if (extra.contains(field)) {
      unit.reason = extra[field].get<std::string>();
    }
  }
  unit.seconds = seconds;
  return unit;
}

void WriteUnitRecord(DeviceRun& run, const RunShared& shared, const UnitRecord& unit) {
  std::string why;
  if (!shared.log->Append(LogLine(unit, shared), why)) {
    run.view->Problem("ql480tx-flash: unit " + std::to_string(unit.unit) + " of " + unit.link +
                      " is missing from the log " + shared.options.logPath + ": " + why);
    run.logFailed = true;
  }
}

}  // namespace ql::flash
