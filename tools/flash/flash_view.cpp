// Text and JSON output of one device's procedures.
#include "flash_view.h"

#include <cmath>
#include <cstdio>

#include "text/message_table.h"

namespace ql::flash {
namespace {

const char* PhaseName(upgrade::Bar bar) {
  return bar == upgrade::Bar::Program ? "program" : "verify";
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

FlashView::FlashView(Console& console, int device, std::string label, text::Language language,
                     bool tagLines, bool json)
    : console_(console),
      device_(device),
      label_(std::move(label)),
      language_(language),
      tagLines_(tagLines),
      json_(json) {}

void FlashView::Emit(const std::string& textLine, const std::string& jsonFields) {
  if (json_) {
    if (!jsonFields.empty()) {
      console_.Line("{\"device\":" + JsonString(label_) + "," + jsonFields + "}");
    }
  } else if (!textLine.empty()) {
    console_.Line(tagLines_ ? "[" + label_ + "] " + textLine : textLine);
  }
}

void FlashView::ShowMessage(int number, std::string_view suffix) {
  lastMessage_ = text::StripAccelerator(text::Message(number, language_)) + std::string(suffix);
  Emit(lastMessage_, "\"event\":\"message\",\"number\":" + std::to_string(number) +
                         ",\"text\":" + JsonString(lastMessage_));
}

void FlashView::SetIndicator(upgrade::Indicator colour) {
  const char* name = colour == upgrade::Indicator::Yellow ? "yellow" : "red";
  Emit({}, std::string("\"event\":\"indicator\",\"colour\":\"") + name + "\"");
}

void FlashView::SetUpgradeEnabled(bool enabled) {
  Emit({}, std::string("\"event\":\"upgrade_enabled\",\"value\":") + (enabled ? "true" : "false"));
}

void FlashView::SetDeviceText(std::string_view text) {
  std::string shown;
  for (const char c : text) {
    // The device information is 8-bit text; keep the line printable.
    shown +=
        static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F ? c : '?';
  }
  Emit("Device: " + shown, "\"event\":\"device_info\",\"text\":" + JsonString(text, true));
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
  const std::string counts = "\"phase\":\"" + std::string(PhaseName(bar)) +
                             "\",\"done\":" + std::to_string(phase.done()) +
                             ",\"total\":" + std::to_string(phase.total());
  if (!ended) {
    console_.Status(device_, StatusLine(bar, phase));
    if (json_) {
      Emit({}, "\"event\":\"progress\"," + counts);
    }
    return;
  }
  (bar == upgrade::Bar::Program ? blocksProgrammed_ : blocksVerified_) = phase.done();
  console_.Status(device_, {});
  const std::string verb = bar == upgrade::Bar::Program ? "Programmed " : "Verified ";
  Emit(verb + std::to_string(phase.done()) + "/" + std::to_string(phase.total()) + " blocks in " +
           Format("%.1f s", phase.Seconds()),
       "\"event\":\"phase_end\"," + counts + ",\"seconds\":" + Format("%.3f", phase.Seconds()));
}

std::string FlashView::StatusLine(upgrade::Bar bar, const PhaseProgress& phase) const {
  constexpr int kWidth = 30;
  const int total = phase.total();
  const int filled = total > 0 ? phase.done() * kWidth / total : kWidth;
  std::string line = tagLines_ ? "[" + label_ + "] " : "";
  line += bar == upgrade::Bar::Program ? "program [" : "verify  [";
  line += std::string(static_cast<std::size_t>(filled), '#');
  line += std::string(static_cast<std::size_t>(kWidth - filled), '.');
  line += "] " + std::to_string(phase.done()) + "/" + std::to_string(total) + " blocks";
  if (phase.done() > 0) {
    line += Format("  %.1f blocks/s", phase.BlocksPerSecond());
    const double left = phase.SecondsLeft();
    if (left >= 0) {
      line += Format("  %.0f s left", std::ceil(left));
    }
  }
  return line;
}

void FlashView::Result(int status, const std::string& outcome, double seconds) {
  Emit({}, "\"event\":\"result\",\"status\":" + std::to_string(status) + ",\"outcome\":" +
               JsonString(outcome) + ",\"blocks_programmed\":" + std::to_string(blocksProgrammed_) +
               ",\"blocks_verified\":" + std::to_string(blocksVerified_) +
               ",\"seconds\":" + Format("%.3f", seconds));
}

}  // namespace ql::flash
