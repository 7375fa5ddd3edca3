// What the connect procedure and the upgrade sequence show the operator. The
// window, the command-line program and the tests each implement it; the
// procedures call it in the exact order the operator is to see things.
#pragma once

#include <cstdint>
#include <string_view>

namespace ql::upgrade {

enum class Indicator { Red, Yellow };
enum class Bar { Program, Verify };

class UpgradeView {
 public:
  virtual ~UpgradeView() = default;

  // Message `number` of the message table in the current language, followed
  // by `suffix` (the connect countdown " ( 9 )").
  virtual void ShowMessage(int number, std::string_view suffix) = 0;

  virtual void SetIndicator(Indicator colour) = 0;

  // 1 starts the indicator blinking; any other value stops it and leaves the
  // colour of the last blink.
  virtual void SetBusy(std::uint8_t value) = 0;

  virtual void SetProgressMaximum(Bar bar, int maximum) = 0;
  virtual void SetProgressPosition(Bar bar, int position) = 0;

  // The hourglass cursor on or off, and the whole window enabled or not.
  virtual void SetHourglass(bool on) = 0;
  virtual void SetWindowEnabled(bool enabled) = 0;

  // "3. &Upgrade".
  virtual void SetUpgradeEnabled(bool enabled) = 0;

  // The device information panel and the file header panel.
  virtual void SetDeviceText(std::string_view text) = 0;
  virtual void SetFileVersionText(std::string_view text) = 0;

  // Starts a tone of `hz` for `ms` milliseconds and returns at once. The
  // procedure takes the tone's length on its own clock (SoundTone), so the
  // device sees the same pause whatever the sound system does and whichever
  // front end plays it, or none.
  virtual void Tone(int hz, int ms) = 0;

  // Lets the display catch up with what was shown.
  virtual void Pump() = 0;
};

}  // namespace ql::upgrade
