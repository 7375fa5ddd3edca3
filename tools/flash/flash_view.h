// How ql480tx-flash shows one device's procedures: message texts from the
// message table, the two phases as progress with blocks done, rate and time
// left, and the final result; as text lines or as JSON lines.
#pragma once

#include <chrono>
#include <string>

#include "console.h"
#include "text/language.h"
#include "upgrade/upgrade_view.h"

namespace ql::flash {

// Follows one progress bar through a phase. Positions set before the phase's
// maximum are resets; inside the phase position i means blocks 0..i are
// done; the closing position equal to the maximum ends the phase, also when
// it failed part-way.
class PhaseProgress {
 public:
  void Start(int total);
  // True when this position ended the phase.
  bool Advance(int position);

  bool active() const { return active_; }
  int done() const { return done_; }
  int total() const { return total_; }
  double Seconds() const;
  double BlocksPerSecond() const;
  // Seconds left at the current rate; negative when not yet known.
  double SecondsLeft() const;

 private:
  bool active_ = false;
  int total_ = 0;
  int done_ = 0;
  std::chrono::steady_clock::time_point start_{};
};

class FlashView : public upgrade::UpgradeView {
 public:
  FlashView(Console& console, int device, std::string label, text::Language language, bool tagLines,
            bool json);

  void ShowMessage(int number, std::string_view suffix) override;
  void SetIndicator(upgrade::Indicator colour) override;
  void SetBusy(std::uint8_t) override {}
  void SetProgressMaximum(upgrade::Bar bar, int maximum) override;
  void SetProgressPosition(upgrade::Bar bar, int position) override;
  void SetHourglass(bool) override {}
  void SetWindowEnabled(bool) override {}
  void SetUpgradeEnabled(bool enabled) override;
  void SetDeviceText(std::string_view text) override;
  void SetFileVersionText(std::string_view) override {}
  // No sound; the procedure still pauses for the tone's length.
  void Tone(int, int) override {}
  void Pump() override {}

  // The closing record of this device.
  void Result(int status, const std::string& outcome, double seconds);

  // The last status text shown, for the summary.
  const std::string& lastMessage() const { return lastMessage_; }
  int blocksProgrammed() const { return blocksProgrammed_; }
  int blocksVerified() const { return blocksVerified_; }

 private:
  void Emit(const std::string& textLine, const std::string& jsonFields);
  std::string StatusLine(upgrade::Bar bar, const PhaseProgress& phase) const;

  Console& console_;
  int device_;
  std::string label_;
  text::Language language_;
  bool tagLines_;
  bool json_;
  PhaseProgress phases_[2];
  std::string lastMessage_;
  int blocksProgrammed_ = 0;
  int blocksVerified_ = 0;
};

// `text` as a JSON string literal; `latin1` reads each byte as one character
// (device texts), otherwise the text is UTF-8.
std::string JsonString(std::string_view text, bool latin1 = false);

}  // namespace ql::flash
