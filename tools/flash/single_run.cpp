// One run of a device's procedures, and the record that closes it.
#include "single_run.h"

#include <chrono>

#include "run_time.h"
#include "unit_log.h"

namespace ql::flash {
namespace {

// Writes what --read-flash read into OUT; false, said as a file error, when
// it cannot be written.
bool CommitFlashRead(DeviceRun& run, const RunShared& shared, const FlashRead& read, Json& extra) {
  const std::string& path = shared.options.readFlashPath;
  const auto bytes = FlashFileBytes(read.deviceInfo, read.table, kReadFlashBlocks);
  std::string why;
  if (shared.out->Commit(bytes, why)) {
    run.view->Final("Wrote " + path + ": " + std::to_string(bytes.size()) + " bytes, " +
                    std::to_string(kReadFlashBlocks) + " blocks");
    return true;
  }
  const std::string reason = "cannot write " + path + ": " + why;
  run.view->Problem(reason);
  run.outcome = {kExitFileUnreadable, "file_error"};
  extra["reason"] = reason;
  return false;
}

}  // namespace

Json RunOnce(DeviceRun& run, const RunShared& shared, link::Clock& clock) {
  const bool reading = shared.options.mode == Mode::ReadFlash;
  auto open = [&run, &shared](const link::LinkSettings& settings,
                              std::string& why) -> std::unique_ptr<link::Transport> {
    // A host that could not be looked up at the start is never reached.
    if (!run.link.lookupError.empty()) {
      why = run.link.lookupError;
      return nullptr;
    }
    return link::TryOpenLinkUnlessStopped(settings, why, &shared.stop,
                                          link::LineSettingsUse::Exactly);
  };
  const JobContext context{&shared.stop, run.observer.get(), shared.runWaitMs};
  FlashRead read;
  run.outcome = RunJob(run.job, *run.view, clock, open, context, reading ? &read : nullptr);

  Json extra = Json::object();
  if (run.outcome.status == kExitOk && reading && !CommitFlashRead(run, shared, read, extra)) {
    return extra;
  }
  if (run.outcome.status == kExitInterrupted) {
    std::string holds = run.view->StopAccount();
    if (reading) {
      holds += "; " + shared.options.readFlashPath + " was not written";
    }
    run.view->Problem(holds);
    extra["holds"] = holds;
  } else if (run.outcome.status != kExitOk) {
    if (!run.view->lastReason().empty()) {
      extra["reason"] = run.view->lastReason();
    }
    if (const std::string holds = run.view->FailureAccount(); !holds.empty()) {
      run.view->Problem(holds);
      extra["holds"] = holds;
    }
  }
  return extra;
}

void RunSingle(DeviceRun& run, const RunShared& shared, link::Clock& clock) {
  const int number = shared.log != nullptr ? shared.log->TakeUnitNumber(run.label) : 0;
  const std::string utc = UtcNow();
  const auto start = std::chrono::steady_clock::now();
  const Json extra = RunOnce(run, shared, clock);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.view->Result(run.outcome.status, run.outcome.outcome, run.seconds, extra);
  if (shared.log != nullptr) {
    UnitRecord unit = RecordOf(run, number, utc, run.seconds, extra);
    // The device is not looked at again: what it answers after a write is
    // not known, and without one it is what it answered before. Only an
    // upgrade writes; its account says whether it got that far.
    if (shared.options.mode != Mode::Upgrade || run.view->flashAsBefore()) {
      unit.infoAfter = unit.infoBefore;
    }
    WriteUnitRecord(run, shared, unit);
  }
}

}  // namespace ql::flash
