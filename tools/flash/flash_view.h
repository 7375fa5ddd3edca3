// How ql480tx-flash shows one device's procedures: message texts from the
// message table, the two phases as progress with blocks done, rate and time
// left, and the final result; as text lines or as JSON lines.
#pragma once

#include <chrono>
#include <functional>
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

// How a device's lines look: tagged with the link when several devices run,
// JSON lines, or only failures and the final line.
struct ViewStyle {
  bool tagLines = false;
  bool json = false;
  bool quiet = false;
  // The verify bar counts blocks read into a file, not compared.
  bool reading = false;
};

// Why a failure message (by number) was shown, to follow its text.
using ReasonSource = std::function<std::string(int message)>;

class FlashView : public upgrade::UpgradeView {
 public:
  FlashView(Console& console, int device, std::string label, text::Language language,
            ViewStyle style, ReasonSource reasons = {});

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

  // The wait after the run command: the whole seconds left as each begins,
  // 0 at its end, -1 when a stop request cut it short (the sequence's
  // closing "Upgrade ok." is then not shown: the wait did not run its course).
  void Countdown(int secondsLeft);

  // A line of this device on standard output (not in JSON or quiet mode),
  // e.g. what the run uses.
  void Note(const std::string& text);

  // The closing line of a run that no message of the table ends (the read
  // of a flash into a file): shown as a message is, and kept as the last.
  void Final(const std::string& text);

  // A line of this device on standard error, whatever the mode.
  void Problem(const std::string& text);

  // The closing record of this device; `extraJson` adds fields to the JSON
  // result (",\"name\":value..."). In quiet mode the last message is the
  // final line, unless it told of a failure (already on standard error).
  void Result(int status, const std::string& outcome, double seconds,
              const std::string& extraJson = {});

  // Automatic mode: this view shows unit `number` of its link, and its
  // status row stays up between the phases, naming the unit.
  void SetUnit(int number);

  // The closing record of a unit in automatic mode, also when quiet: one line
  // with the link, the unit's number, its device information, the outcome
  // (the message table's text, with the reason of a failure), the time it
  // took and the link's tally; with JSON one `unit` event. `extraJson` adds
  // fields (",\"name\":value...").
  struct UnitTally {
    int number = 0;
    std::string deviceInfo;
    int status = 0;
    std::string outcome;
    double seconds = 0;
    int ok = 0;
    int failed = 0;
  };
  void UnitResult(const UnitTally& unit, const std::string& extraJson = {});

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
  // Whether a stop request cut the wait after the run command short.
  bool runWaitCut() const { return runWaitCut_; }
  int blocksProgrammed() const { return blocksProgrammed_; }
  int blocksVerified() const { return blocksVerified_; }

 private:
  void Emit(const std::string& textLine, const char* event, const std::string& jsonFields);
  std::string Tagged(const std::string& text) const;
  // The start of this device's status row: its link when several run, and
  // the unit in automatic mode.
  std::string RowStart() const;
  // Takes the status row down; in automatic mode it names the unit instead.
  void ClearRow();
  std::string StatusLine(upgrade::Bar bar, const PhaseProgress& phase) const;

  Console& console_;
  int device_;
  std::string label_;
  text::Language language_;
  ViewStyle style_;
  ReasonSource reasons_;
  PhaseProgress phases_[2];
  std::string lastMessage_;
  std::string lastReason_;
  bool lastWasFailure_ = false;
  std::string deviceText_;
  bool countdownShown_ = false;
  bool runWaitCut_ = false;
  int blocksProgrammed_ = 0;
  int blocksVerified_ = 0;
  int unit_ = 0;
};

// The device information as a line shows it: anything unprintable as "?",
// the blanks that pad it dropped.
std::string ShownDeviceText(std::string_view text);

// The JSON fields every line starts with: the event and the time since the
// program started.
std::string JsonHead(const char* event);

// `text` as a JSON string literal; `latin1` reads each byte as one character
// (device texts), otherwise the text is UTF-8.
std::string JsonString(std::string_view text, bool latin1 = false);

}  // namespace ql::flash
