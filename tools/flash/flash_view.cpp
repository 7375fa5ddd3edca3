// Text and JSON output of one device's procedures.
#include "flash_view.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "reasons.h"
#include "run_time.h"
#include "text/message_table.h"

namespace ql::flash {
namespace {

// The status of a device that a stop request ended: its final line is the
// account of what the device holds, on standard error.
constexpr int kExitInterruptedStatus = 130;

const char* PhaseName(upgrade::Bar bar, bool reading) {
  return bar == upgrade::Bar::Program ? "program" : reading ? "read" : "verify";
}

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

void PhaseProgress::Start(int total) {
  active_ = true;
  total_ = total;
  done_ = 0;
  start_ = std::chrono::steady_clock::now();
}

bool PhaseProgress::Advance(int position) {
  if (!active_) {
    return false;
  }
  if (position >= total_) {
    active_ = false;
    return true;
  }
  done_ = position + 1;
  return false;
}

double PhaseProgress::Seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

double PhaseProgress::BlocksPerSecond() const {
  const double seconds = Seconds();
  return seconds > 0 ? done_ / seconds : 0.0;
}

double PhaseProgress::SecondsLeft() const {
  const double rate = BlocksPerSecond();
  return rate > 0 ? (total_ - done_) / rate : -1.0;
}

std::string JsonString(std::string_view text, bool latin1) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else if (latin1 && c >= 0x80) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += ch;
    }
  }
  out += '"';
  return out;
}

std::string JsonHead(const char* event) {
  return std::string("\"event\":\"") + event + "\",\"time\":" + Format("%.3f", SecondsSinceStart());
}

FlashView::FlashView(Console& console, int device, std::string label, text::Language language,
                     ViewStyle style, ReasonSource reasons)
    : console_(console),
      device_(device),
      label_(std::move(label)),
      language_(language),
      style_(style),
      reasons_(std::move(reasons)) {}

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

void FlashView::Emit(const std::string& textLine, const char* event,
                     const std::string& jsonFields) {
  if (style_.json) {
    // In quiet mode only the closing record is written.
    if (!style_.quiet || std::string_view(event) == "result") {
      console_.Line("{\"device\":" + JsonString(label_) + "," + JsonHead(event) + jsonFields + "}");
    }
  } else if (!textLine.empty() && !style_.quiet) {
    console_.Line(Tagged(textLine));
  }
}

void FlashView::Note(const std::string& text) {
  Emit(text, "note", ",\"text\":" + JsonString(text));
}

void FlashView::Final(const std::string& text) {
  lastMessage_ = text;
  lastWasFailure_ = false;
  lastReason_.clear();
  Emit(text, "note", ",\"text\":" + JsonString(text));
}

void FlashView::Problem(const std::string& text) {
  console_.Error(Tagged(text));
}

void FlashView::ShowMessage(int number, std::string_view suffix) {
  // The countdown's row goes; in automatic mode the row names the unit and
  // its latest message instead.
  const bool rowShown = std::exchange(countdownShown_, false) || unit_ > 0;
  if (number == text::msg::kUpgradeOk && runWaitCut_) {
    if (rowShown) {
      ClearRow();
    }
    return;
  }
  lastMessage_ = text::StripAccelerator(text::Message(number, language_)) + std::string(suffix);
  lastWasFailure_ = IsFailureMessage(number);
  if (rowShown) {
    ClearRow();
  }
  std::string fields =
      ",\"number\":" + std::to_string(number) + ",\"text\":" + JsonString(lastMessage_);
  if (!lastWasFailure_) {
    lastReason_.clear();
    Emit(lastMessage_, "message", fields);
    return;
  }
  // Failures go to standard error with what the message table cannot say.
  lastReason_ = reasons_ ? reasons_(number) : std::string();
  console_.Error(
      Tagged(lastReason_.empty() ? lastMessage_ : lastMessage_ + " (" + lastReason_ + ")"));
  fields += ",\"error\":true";
  if (!lastReason_.empty()) {
    fields += ",\"reason\":" + JsonString(lastReason_);
  }
  if (style_.json && !style_.quiet) {
    Emit({}, "message", fields);
  }
}

void FlashView::Countdown(int secondsLeft) {
  if (secondsLeft < 0) {
    runWaitCut_ = true;
  }
  if (secondsLeft <= 0) {
    if (countdownShown_) {
      ClearRow();
      countdownShown_ = false;
    }
    return;
  }
  const std::string text = "waiting " + std::to_string(secondsLeft) + " s for the device to start";
  if (style_.json) {
    Emit({}, "countdown", ",\"seconds_left\":" + std::to_string(secondsLeft));
  } else if (console_.live()) {
    console_.Status(device_, RowStart() + text);
    countdownShown_ = true;
  } else if (!countdownShown_) {
    // Without a terminal, one line says how long the wait is.
    Emit("Waiting " + std::to_string(secondsLeft) + " s for the device to start the new firmware",
         "countdown", {});
    countdownShown_ = true;
  }
}

void FlashView::SetIndicator(upgrade::Indicator colour) {
  const char* name = colour == upgrade::Indicator::Yellow ? "yellow" : "red";
  Emit({}, "indicator", std::string(",\"colour\":\"") + name + "\"");
}

void FlashView::SetUpgradeEnabled(bool enabled) {
  Emit({}, "upgrade_enabled", std::string(",\"value\":") + (enabled ? "true" : "false"));
}

void FlashView::SetDeviceText(std::string_view text) {
  std::string shown;
  for (const char c : text) {
    // The device information is 8-bit text; keep the line printable.
    shown +=
        static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F ? c : '?';
  }
  deviceText_ = std::string(text);
  Emit("Device: " + shown, "device_info", ",\"text\":" + JsonString(text, true));
}

void FlashView::SetProgressMaximum(upgrade::Bar bar, int maximum) {
  PhaseProgress& phase = phases_[static_cast<int>(bar)];
  phase.Start(maximum);
  console_.Status(device_, StatusLine(bar, phase));
}

void FlashView::SetProgressPosition(upgrade::Bar bar, int position) {
  PhaseProgress& phase = phases_[static_cast<int>(bar)];
  const bool wasActive = phase.active();
  const bool ended = phase.Advance(position);
  if (!wasActive) {
    return;
  }
  const std::string counts = ",\"phase\":\"" + std::string(PhaseName(bar, style_.reading)) +
                             "\",\"done\":" + std::to_string(phase.done()) +
                             ",\"total\":" + std::to_string(phase.total());
  if (!ended) {
    console_.Status(device_, StatusLine(bar, phase));
    if (style_.json) {
      Emit({}, "progress", counts);
    }
    return;
  }
  (bar == upgrade::Bar::Program ? blocksProgrammed_ : blocksVerified_) = phase.done();
  ClearRow();
  const std::string verb = bar == upgrade::Bar::Program ? "Programmed "
                           : style_.reading             ? "Read "
                                                        : "Verified ";
  Emit(verb + std::to_string(phase.done()) + "/" + std::to_string(phase.total()) + " blocks in " +
           Format("%.1f s", phase.Seconds()),
       "phase_end", counts + ",\"seconds\":" + Format("%.3f", phase.Seconds()));
}

std::string FlashView::StatusLine(upgrade::Bar bar, const PhaseProgress& phase) const {
  // The counts come first and the bar last: a narrow terminal cuts the row
  // at its width, and loses the bar before the numbers.
  constexpr int kWidth = 30;
  const int total = phase.total();
  const int filled = total > 0 ? phase.done() * kWidth / total : kWidth;
  std::string line = RowStart() + (bar == upgrade::Bar::Program ? "program "
                                   : style_.reading             ? "read    "
                                                                : "verify  ");
  line += std::to_string(phase.done()) + "/" + std::to_string(total) + " blocks";
  if (phase.done() > 0) {
    line += Format("  %.1f blocks/s", phase.BlocksPerSecond());
    const double left = phase.SecondsLeft();
    if (left >= 0) {
      line += Format("  %.0f s left", std::ceil(left));
    }
  }
  line += "  [" + std::string(static_cast<std::size_t>(filled), '#') +
          std::string(static_cast<std::size_t>(kWidth - filled), '.') + "]";
  return line;
}

void FlashView::Result(int status, const std::string& outcome, double seconds,
                       const std::string& extraJson) {
  if (style_.quiet && !style_.json && !lastWasFailure_ && !lastMessage_.empty() &&
      status != kExitInterruptedStatus) {
    console_.Line(Tagged(lastMessage_));
  }
  Emit({}, "result",
       ",\"status\":" + std::to_string(status) + ",\"outcome\":" + JsonString(outcome) +
           ",\"blocks_programmed\":" + std::to_string(blocksProgrammed_) + ",\"blocks_verified\":" +
           std::to_string(blocksVerified_) + ",\"seconds\":" + Format("%.3f", seconds) + extraJson);
}

std::string ShownDeviceText(std::string_view text) {
  std::string shown;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    shown += u >= 0x20 && u < 0x7F ? c : '?';
  }
  while (!shown.empty() && shown.back() == ' ') {
    shown.pop_back();
  }
  return shown;
}

void FlashView::UnitResult(const UnitTally& unit, const std::string& extraJson) {
  const bool stopped = unit.status == kExitInterruptedStatus;
  std::string outcome = stopped ? std::string("(stopped)") : lastMessage_;
  if (!stopped && lastWasFailure_ && !lastReason_.empty()) {
    outcome += " (" + lastReason_ + ")";
  }
  const std::string line = label_ + ": unit " + std::to_string(unit.number) + " (" +
                           ShownDeviceText(unit.deviceInfo) + "): " + outcome + " in " +
                           Format("%.1f s", unit.seconds) + "; " + std::to_string(unit.ok) +
                           " ok, " + std::to_string(unit.failed) + " failed";
  const std::string fields =
      ",\"unit\":" + std::to_string(unit.number) +
      ",\"device_info\":" + JsonString(unit.deviceInfo, true) +
      ",\"status\":" + std::to_string(unit.status) + ",\"outcome\":" + JsonString(unit.outcome) +
      ",\"message\":" + (stopped ? std::string("null") : JsonString(lastMessage_)) +
      ",\"seconds\":" + Format("%.3f", unit.seconds) + ",\"ok\":" + std::to_string(unit.ok) +
      ",\"failed\":" + std::to_string(unit.failed) +
      ",\"blocks_programmed\":" + std::to_string(blocksProgrammed_) +
      ",\"blocks_verified\":" + std::to_string(blocksVerified_) + extraJson;
  // The unit's line is its result: written also when quiet.
  if (style_.json) {
    console_.Line("{\"device\":" + JsonString(label_) + "," + JsonHead("unit") + fields + "}");
  } else {
    console_.Line(line);
  }
}

void FlashView::StationResult(int status, const std::string& outcome, double seconds, int units,
                              int ok, int failed, double unitSeconds) {
  Emit({}, "result",
       ",\"status\":" + std::to_string(status) + ",\"outcome\":" + JsonString(outcome) +
           ",\"units\":" + std::to_string(units) + ",\"ok\":" + std::to_string(ok) +
           ",\"failed\":" + std::to_string(failed) + ",\"mean_seconds\":" +
           (units > 0 ? Format("%.3f", unitSeconds / units) : std::string("null")) +
           ",\"seconds\":" + Format("%.3f", seconds));
}

}  // namespace ql::flash
