// One station of the automatic mode on the terminal: its status row while it
// looks, and each unit's run and record.
#include "station_run.h"

#include <algorithm>
#include <chrono>

#include "run_time.h"
#include "settings/link_controls.h"
#include "single_run.h"
#include "unit_log.h"

namespace ql::flash {
namespace {

class StationRun {
 public:
  StationRun(DeviceRun& run, const RunShared& shared, link::Clock& clock)
      : run_(run),
        shared_(shared),
        clock_(clock),
        tag_(shared.style.tagLines ? "[" + run.label + "] " : "") {}

  void Run() {
    link::LinkSettings link = run_.job.stored;
    settings::TakeLinkControls(run_.job.controls, link);
    const Station station{
        shared_.options.deviceId,
        link,
        clock_,
        [this](const link::LinkSettings& settings, std::string& why) {
          auto transport = link::TryOpenLinkUnlessStopped(settings, why, &shared_.stop,
                                                          link::LineSettingsUse::Exactly);
          lookError_ = why;
          return transport;
        },
        run_.observer.get(),
        &shared_.stop,
        [this](std::uint32_t ms) { return shared_.stopWait.PauseMs(ms); },
        [this](StationState state, std::optional<upgrade::PollResult> look) { Show(state, look); },
        [this](int number, const std::string& deviceInfo) { return Unit(number, deviceInfo); },
        [this](int, const std::optional<std::string>& infoAfter) { AfterUnit(infoAfter); }};
    RunStation(station);
    shared_.console.Status(run_.index, {});
    run_.outcome = {status_, status_ == kExitInterrupted ? "interrupted" : "stopped"};
  }

 private:
  // A line as each state begins; the status row after every look, redrawn
  // only when it changes.
  void Show(StationState state, std::optional<upgrade::PollResult> look) {
    const bool waiting = state == StationState::WaitingForUnit;
    if (!look) {
      run_.view->Note(waiting ? "Waiting for a unit" : "Remove the unit");
    }
    const StationSummary& tally = run_.station;
    std::string text = tag_ + (waiting ? "waiting for a unit" : "remove the unit");
    if (tally.units > 0) {
      text += "; " + std::to_string(tally.ok) + " ok, " + std::to_string(tally.failed) + " failed";
    }
    if (look == upgrade::PollResult::LinkNotOpened && !lookError_.empty()) {
      text += " (" + lookError_ + ")";
    }
    if (text != row_) {
      shared_.console.Status(run_.index, text);
      row_ = text;
    }
  }

  // Unit `number` of this run, found answering with `deviceInfo`: its run
  // and its record. With a log its number goes on from the log's.
  UnitEnd Unit(int number, const std::string& deviceInfo) {
    if (shared_.log != nullptr) {
      number = shared_.log->TakeUnitNumber(run_.label);
    }
    const std::string utc = UtcNow();
    run_.view = MakeView(run_, shared_);
    run_.view->SetUnit(number);
    run_.view->Note("Unit " + std::to_string(number) + " found");
    const auto start = std::chrono::steady_clock::now();
    const Json extra = RunOnce(run_, shared_, clock_);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const int unitStatus = run_.outcome.status;
    StationSummary& tally = run_.station;
    ++tally.units;
    ++(unitStatus == kExitOk ? tally.ok : tally.failed);
    tally.unitSeconds += seconds;
    status_ = std::max(status_, unitStatus);
    // The connect procedure's device information, or the look's when the
    // procedure found none.
    const std::string& info =
        run_.view->deviceText().empty() ? deviceInfo : run_.view->deviceText();
    run_.view->UnitResult(
        {number, info, unitStatus, run_.outcome.outcome, seconds, tally.ok, tally.failed}, extra);
    if (shared_.log != nullptr) {
      pending_ = RecordOf(run_, number, utc, seconds, extra);
      pending_->infoBefore = info;
    }
    row_.clear();
    return UnitEnd{unitStatus == kExitInterrupted, run_.view->runSent()};
  }

  // The unit's line of the log is written once the station knows what the
  // unit answers after its run: at its first answered look, or when it is
  // gone, another unit answers or the station stops before that.
  void AfterUnit(const std::optional<std::string>& infoAfter) {
    if (pending_) {
      pending_->infoAfter = infoAfter;
      WriteUnitRecord(run_, shared_, *pending_);
      pending_.reset();
    }
  }

  DeviceRun& run_;
  const RunShared& shared_;
  link::Clock& clock_;
  const std::string tag_;
  int status_ = kExitOk;               // the highest status of a unit so far
  std::string lookError_;              // why the last look could not open the link
  std::string row_;                    // the status row as drawn
  std::optional<UnitRecord> pending_;  // the last unit's line, until its answer after the run
};

}  // namespace

void RunStationOf(DeviceRun& run, const RunShared& shared, link::Clock& clock) {
  const auto start = std::chrono::steady_clock::now();
  if (!run.link.lookupError.empty()) {
    // The address is looked up once, at the start: no look could ever open the link.
    run.view->Problem(run.label + ": " + run.link.lookupError +
                      "; this station cannot look for units");
    run.outcome = {kExitLinkNotOpened, "link_not_opened"};
  } else {
    StationRun(run, shared, clock).Run();
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const StationSummary& tally = run.station;
  run.view->StationResult(run.outcome.status, run.outcome.outcome, run.seconds, tally.units,
                          tally.ok, tally.failed, tally.unitSeconds);
}

}  // namespace ql::flash
