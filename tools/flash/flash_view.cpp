// Text and JSON output of one device's procedures.
#include "flash_view.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "run_time.h"
#include "text/message_table.h"
#include "upgrade/failure_reason.h"

namespace ql::flash {
namespace {

using upgrade::Phase;

// The status of a device that a stop request ended: its final line is the
// account of what the device holds, on standard error.
constexpr int kExitInterruptedStatus = 130;

const char* PhaseName(Phase phase) {
  return phase == Phase::Program ? "program" : phase == Phase::Read ? "read" : "verify";
}

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

FlashView::FlashView(Console& console, int device, std::string label, text::Language language,
                     ViewStyle style)
    : console_(console),
      device_(device),
      label_(std::move(label)),
      language_(language),
      style_(style) {}

std::string FlashView::Tagged(const std::string& text) const {
  return style_.tagLines ? "[" + label_ + "] " + text : text;
}

std::string FlashView::RowStart() const {
  return Tagged(unit_ > 0 ? "unit " + std::to_string(unit_) + "  " : "");
}

void FlashView::ClearRow() {
  console_.Status(device_, unit_ > 0 ? RowStart() + lastMessage_ : std::string());
}

void FlashView::SetUnit(int number) {
  unit_ = number;
}

void FlashView::Emit(const std::string& textLine, const char* event, const Json& fields) {
  if (style_.json) {
    // In quiet mode only the closing record is written.
    if (!style_.quiet || std::string_view(event) == "result") {
      Json line = DeviceEvent(label_, event);
      line.update(fields);
      console_.Line(JsonLine(line));
    }
  } else if (!textLine.empty() && !style_.quiet) {
    console_.Line(Tagged(textLine));
  }
}

void FlashView::Note(const std::string& text) {
  Emit(text, "note", {{"text", text}});
}

void FlashView::Final(const std::string& text) {
  lastMessage_ = text;
  lastWasFailure_ = false;
  lastReason_.clear();
  Emit(text, "note", {{"text", text}});
}

void FlashView::Problem(const std::string& text) {
  console_.Error(Tagged(text));
}

void FlashView::Show(const upgrade::Status& status, const std::string& reason) {
  // The countdown's row goes; in automatic mode the row names the unit and
  // its latest message instead.
  const bool rowShown = std::exchange(countdownShown_, false) || unit_ > 0;
  lastMessage_ = text::StripAccelerator(text::Message(status.message, language_)) + status.suffix;
  lastWasFailure_ = status.failure;
  if (rowShown) {
    ClearRow();
  }
  Json fields = {{"number", status.message}, {"text", lastMessage_}};
  if (!status.failure) {
    lastReason_.clear();
    Emit(lastMessage_, "message", fields);
    return;
  }
  // Failures go to standard error with what the message table cannot say.
  lastReason_ = reason;
  console_.Error(Tagged(reason.empty() ? lastMessage_ : lastMessage_ + " (" + reason + ")"));
  fields["error"] = true;
  if (!reason.empty()) {
    fields["reason"] = reason;
  }
  if (style_.json && !style_.quiet) {
    Emit({}, "message", fields);
  }
}

void FlashView::Started(upgrade::Procedure procedure) {
  lastPhase_.reset();
  if (const auto status = status_.Started(procedure)) {
    Show(*status);
  }
}

void FlashView::LinkNotOpened(std::string_view reason) {
  Show(status_.LinkNotOpened(), upgrade::LinkReason(label_, reason));
}

void FlashView::HandshakeFailed(int attempt, const upgrade::TryEnd& /*last*/) {
  Show(status_.HandshakeFailed(attempt));
}

void FlashView::DeviceNotFound(int attempts, const upgrade::TryEnd& last) {
  Show(status_.DeviceNotFound(), upgrade::NoDeviceReason(label_, attempts, last));
}

void FlashView::DeviceFound(std::string_view deviceInfo) {
  std::string shown;
  for (const char c : deviceInfo) {
    // The device information is 8-bit text; keep the line printable.
    const auto u = static_cast<unsigned char>(c);
    shown += u >= 0x20 && u < 0x7F ? c : '?';
  }
  deviceText_ = std::string(deviceInfo);
  Emit("Device: " + shown, "device_info", {{"text", Latin1ToUtf8(deviceInfo)}});
}

void FlashView::ModelMatched() {
  Show(status_.ModelMatched());
}

void FlashView::ModelMismatched(std::string_view deviceInfo, std::string_view fileHeader) {
  Show(status_.ModelMismatched(), upgrade::MismatchReason(deviceInfo, fileHeader));
}

void FlashView::ImageNotLoaded(upgrade::LoadFailure why, int error) {
  Show(status_.ImageNotLoaded(), upgrade::LoadReason(why, error));
}

void FlashView::PhaseStarted(Phase phase, int /*blockCount*/) {
  if (const auto status = status_.PhaseStarted(phase)) {
    Show(*status);
  }
}

void FlashView::BlocksBegin(Phase phase, int blockCount) {
  tally_ = Tally{phase, blockCount, 0, std::chrono::steady_clock::now()};
  console_.Status(device_, ProgressRow(*tally_));
}

void FlashView::BlockDone(Phase phase, int block) {
  if (!tally_ || tally_->phase != phase) {
    return;
  }
  tally_->done = block + 1;
  console_.Status(device_, ProgressRow(*tally_));
  if (style_.json) {
    Emit({}, "progress",
         {{"phase", PhaseName(phase)}, {"done", tally_->done}, {"total", tally_->total}});
  }
}

void FlashView::PhaseEnded(const upgrade::PhaseEnd& end) {
  lastPhase_ = end;
  if (tally_ && tally_->phase == end.phase) {
    const Tally tally = *std::exchange(tally_, std::nullopt);
    (end.phase == Phase::Program ? blocksProgrammed_ : blocksVerified_) = tally.done;
    ClearRow();
    const char* verb = end.phase == Phase::Program ? "Programmed "
                       : end.phase == Phase::Read  ? "Read "
                                                   : "Verified ";
    Emit(verb + std::to_string(tally.done) + "/" + std::to_string(tally.total) + " blocks in " +
             Format("%.1f s", tally.Seconds()),
         "phase_end",
         {{"phase", PhaseName(end.phase)},
          {"done", tally.done},
          {"total", tally.total},
          {"seconds", Milliseconds(tally.Seconds())}});
  }
  if (end.phase == Phase::Run && countdownShown_) {
    ClearRow();
    countdownShown_ = false;
  }
  if (end.phase == Phase::Read && !end.Ok() && end.failure != upgrade::PhaseFailure::Stopped) {
    ShowReadFailure(upgrade::PhaseReason(end));
  } else if (const auto status = status_.PhaseEnded(end)) {
    Show(*status, upgrade::PhaseReason(end));
  }
}

// The message table has no words for a read of the flash that failed, and
// its "Verify error!" would speak of a comparison that never took place.
void FlashView::ShowReadFailure(const std::string& reason) {
  lastMessage_ = "Read error!";
  lastWasFailure_ = true;
  lastReason_ = reason;
  if (unit_ > 0) {
    ClearRow();
  }
  console_.Error(Tagged(lastMessage_ + " (" + reason + ")"));
  if (style_.json && !style_.quiet) {
    Emit({}, "message", {{"text", lastMessage_}, {"error", true}, {"reason", reason}});
  }
}

void FlashView::RunSent(std::uint32_t /*waitMs*/) {
  runSent_ = true;
}

void FlashView::RunWaitLeft(int seconds) {
  const std::string text = "waiting " + std::to_string(seconds) + " s for the device to start";
  if (style_.json) {
    Emit({}, "countdown", {{"seconds_left", seconds}});
  } else if (console_.live()) {
    console_.Status(device_, RowStart() + text);
    countdownShown_ = true;
  } else if (!countdownShown_) {
    // Without a terminal, one line says how long the wait is.
    Emit("Waiting " + std::to_string(seconds) + " s for the device to start the new firmware",
         "countdown", Json::object());
    countdownShown_ = true;
  }
}

void FlashView::Finished(const upgrade::Finish& finish) {
  finish_ = finish;
}

std::string FlashView::StopAccount() const {
  return upgrade::StopExplanation(finish_, lastPhase_);
}

std::string FlashView::FailureAccount() const {
  return upgrade::FailureHoldings(finish_, lastPhase_);
}

double FlashView::Tally::Seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string FlashView::ProgressRow(const Tally& tally) const {
  // The counts come first and the bar last: a narrow terminal cuts the row
  // at its width, and loses the bar before the numbers.
  constexpr int kWidth = 30;
  const int filled = tally.total > 0 ? tally.done * kWidth / tally.total : kWidth;
  std::string line = RowStart() + (tally.phase == Phase::Program ? "program "
                                   : tally.phase == Phase::Read  ? "read    "
                                                                 : "verify  ");
  line += std::to_string(tally.done) + "/" + std::to_string(tally.total) + " blocks";
  if (tally.done > 0) {
    const double seconds = tally.Seconds();
    const double rate = seconds > 0 ? tally.done / seconds : 0.0;
    line += Format("  %.1f blocks/s", rate);
    if (rate > 0) {
      line += Format("  %.0f s left", std::ceil((tally.total - tally.done) / rate));
    }
  }
  line += "  [" + std::string(static_cast<std::size_t>(filled), '#') +
          std::string(static_cast<std::size_t>(kWidth - filled), '.') + "]";
  return line;
}

void FlashView::Result(int status, const std::string& outcome, double seconds, const Json& extra) {
  if (style_.quiet && !style_.json && !lastWasFailure_ && !lastMessage_.empty() &&
      status != kExitInterruptedStatus) {
    console_.Line(Tagged(lastMessage_));
  }
  Json fields = {{"status", status},
                 {"outcome", outcome},
                 {"blocks_programmed", blocksProgrammed_},
                 {"blocks_verified", blocksVerified_},
                 {"seconds", Milliseconds(seconds)}};
  fields.update(extra);
  Emit({}, "result", fields);
}

void FlashView::UnitResult(const UnitTally& unit, const Json& extra) {
  const bool stopped = unit.status == kExitInterruptedStatus;
  std::string outcome = stopped ? std::string("(stopped)") : lastMessage_;
  if (!stopped && lastWasFailure_ && !lastReason_.empty()) {
    outcome += " (" + lastReason_ + ")";
  }
  const std::string line = label_ + ": unit " + std::to_string(unit.number) + " (" +
                           ShownDeviceText(unit.deviceInfo) + "): " + outcome + " in " +
                           Format("%.1f s", unit.seconds) + "; " + std::to_string(unit.ok) +
                           " ok, " + std::to_string(unit.failed) + " failed";
  // The unit's line is its result: written also when quiet.
  if (style_.json) {
    Json record = DeviceEvent(label_, "unit");
    record["unit"] = unit.number;
    record["device_info"] = Latin1ToUtf8(unit.deviceInfo);
    record["status"] = unit.status;
    record["outcome"] = unit.outcome;
    record["message"] = stopped ? Json(nullptr) : Json(lastMessage_);
    record["seconds"] = Milliseconds(unit.seconds);
    record["ok"] = unit.ok;
    record["failed"] = unit.failed;
    record["blocks_programmed"] = blocksProgrammed_;
    record["blocks_verified"] = blocksVerified_;
    record.update(extra);
    console_.Line(JsonLine(record));
  } else {
    console_.Line(line);
  }
}

void FlashView::StationResult(int status, const std::string& outcome, double seconds, int units,
                              int ok, int failed, double unitSeconds) {
  Emit({}, "result",
       {{"status", status},
        {"outcome", outcome},
        {"units", units},
        {"ok", ok},
        {"failed", failed},
        {"mean_seconds", units > 0 ? Json(Milliseconds(unitSeconds / units)) : Json(nullptr)},
        {"seconds", Milliseconds(seconds)}});
}

}  // namespace ql::flash
