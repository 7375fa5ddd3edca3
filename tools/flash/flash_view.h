// How ql480tx-flash shows one device's procedures, from the events they
// tell: the status line's messages, the device information, each phase's
// blocks with rate and time left, the countdown after the run command, the
// reason of a failure and the final result; as text lines or as JSON lines.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "console.h"
#include "json_events.h"
#include "text/language.h"
#include "upgrade/failure_reason.h"
#include "upgrade/procedure_events.h"
#include "upgrade/status_line.h"

namespace ql::flash {

// How a device's lines look: tagged with the link when several devices run,
// JSON lines, or only failures and the final line.
struct ViewStyle {
  bool tagLines = false;
  bool json = false;
  bool quiet = false;
};

class FlashView final : public upgrade::ProcedureEvents {
 public:
  FlashView(Console& console, int device, std::string label, text::Language language,
            ViewStyle style);

  void Started(upgrade::Procedure procedure) override;
  void LinkNotOpened(std::string_view reason) override;
  void HandshakeFailed(int attempt, const upgrade::TryEnd& last) override;
  void DeviceNotFound(int attempts, const upgrade::TryEnd& last) override;
  void DeviceFound(std::string_view deviceInfo) override;
  void ModelMatched() override;
  void ModelMismatched(std::string_view deviceInfo, std::string_view fileHeader) override;
  void ImageNotLoaded(upgrade::LoadFailure why, int error) override;
  void PhaseStarted(upgrade::Phase phase, int blockCount) override;
  void BlocksBegin(upgrade::Phase phase, int blockCount) override;
  void BlockDone(upgrade::Phase phase, int block) override;
  void PhaseEnded(const upgrade::PhaseEnd& end) override;
  void RunSent(std::uint32_t waitMs) override;
  void RunWaitLeft(int seconds) override;
  void Finished(const upgrade::Finish& finish) override;

  // A line of this device on standard output (not in JSON or quiet mode),
  // e.g. what the run uses.
  void Note(const std::string& text);

  // The closing line of a run that no message of the table ends (the read
  // of a flash into a file): shown as a message is, and kept as the last.
  void Final(const std::string& text);

  // A line of this device on standard error, whatever the mode.
  void Problem(const std::string& text);

  // The closing record of this device; `extra` adds fields to the JSON
  // result. In quiet mode the last message is the final line, unless it told
  // of a failure (already on standard error).
  void Result(int status, const std::string& outcome, double seconds,
              const Json& extra = Json::object());

  // Automatic mode: this view shows unit `number` of its link, and its
  // status row stays up between the phases, naming the unit.
  void SetUnit(int number);

  // The closing record of a unit in automatic mode, also when quiet: one line
  // with the link, the unit's number, its device information, the outcome
  // (the message table's text, with the reason of a failure), the time it
  // took and the link's tally; with JSON one `unit` event. `extra` adds
  // fields.
  struct UnitTally {
    int number = 0;
    std::string deviceInfo;
    int status = 0;
    std::string outcome;
    double seconds = 0;
    int ok = 0;
    int failed = 0;
  };
  void UnitResult(const UnitTally& unit, const Json& extra = Json::object());

  // The closing record of a link in automatic mode: with JSON its `result`
  // event, with the units, how many ended ok and failed, and their mean time
  // (from `unitSeconds`, the time of all units together).
  void StationResult(int status, const std::string& outcome, double seconds, int units, int ok,
                     int failed, double unitSeconds);

  // The last status text shown, for the summary, and why it was shown when
  // it told of a failure.
  const std::string& lastMessage() const { return lastMessage_; }
  const std::string& lastReason() const { return lastReason_; }
  const std::string& deviceText() const { return deviceText_; }
  int blocksProgrammed() const { return blocksProgrammed_; }
  int blocksVerified() const { return blocksVerified_; }
  // Whether the device was told to run its new firmware.
  bool runSent() const { return runSent_; }
  // Whether the last procedure left the device's flash as it was: nothing
  // was written to it.
  bool flashAsBefore() const { return finish_.holds.flash == upgrade::Flash::AsBefore; }
  // After a stop: what the device holds and what to do about it.
  std::string StopAccount() const;
  // After a failed phase: what the device holds; empty when nothing is
  // worth saying.
  std::string FailureAccount() const;

 private:
  // The blocks of the phase in hand: how many, how many done, since when.
  struct Tally {
    upgrade::Phase phase = upgrade::Phase::Program;
    int total = 0;
    int done = 0;
    std::chrono::steady_clock::time_point start;
    double Seconds() const;
  };

  // Shows a status message; a failure goes to standard error, with `reason`.
  void Show(const upgrade::Status& status, const std::string& reason = {});
  void ShowReadFailure(const std::string& reason);
  void Emit(const std::string& textLine, const char* event, const Json& fields);
  std::string Tagged(const std::string& text) const;
  // The start of this device's status row: its link when several run, and
  // the unit in automatic mode.
  std::string RowStart() const;
  // Takes the status row down; in automatic mode it names the unit instead.
  void ClearRow();
  std::string ProgressRow(const Tally& tally) const;

  Console& console_;
  int device_;
  std::string label_;
  text::Language language_;
  ViewStyle style_;
  upgrade::StatusLine status_;
  std::optional<Tally> tally_;
  std::string lastMessage_;
  std::string lastReason_;
  bool lastWasFailure_ = false;
  std::string deviceText_;
  bool countdownShown_ = false;
  bool runSent_ = false;
  int blocksProgrammed_ = 0;
  int blocksVerified_ = 0;
  int unit_ = 0;
  // What the last procedure ended with, and the last phase it ended.
  upgrade::Finish finish_;
  std::optional<upgrade::PhaseEnd> lastPhase_;
};

using upgrade::ShownDeviceText;

}  // namespace ql::flash
