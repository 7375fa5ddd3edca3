// A test bench for the procedures on the virtual clock: a view and a clock
// that write every step into one log, a small scripted device behind the
// scripted link, and a record of the links stored.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/scripted_transport.h"
#include "support/virtual_clock.h"
#include "upgrade/procedures.h"

namespace ql::testing_support {

// Every call the procedures make on the view, as short text: "msg 10",
// "msg 10 ( 9 )", "busy 1", "indicator yellow", "max program 5",
// "pos verify 3", "hourglass 1", "window 0", "upgrade 1", "device ...",
// "filever ...", "tone 1000 300", "pump"; sleeps as "sleep 100"; commands
// the device received as "send <ID, command and address>" (data left out).
using EventLog = std::vector<std::string>;

class RecordingView final : public upgrade::UpgradeView {
 public:
  explicit RecordingView(EventLog& log) : log_(log) {}

  void ShowMessage(int number, std::string_view suffix) override;
  void SetIndicator(upgrade::Indicator colour) override;
  void SetBusy(std::uint8_t value) override;
  void SetProgressMaximum(upgrade::Bar bar, int maximum) override;
  void SetProgressPosition(upgrade::Bar bar, int position) override;
  void SetHourglass(bool on) override;
  void SetWindowEnabled(bool enabled) override;
  void SetUpgradeEnabled(bool enabled) override;
  void SetDeviceText(std::string_view text) override;
  void SetFileVersionText(std::string_view text) override;
  void Tone(int hz, int ms) override;
  void Pump() override;

  // The last value set on each bar.
  int position[2] = {-1, -1};
  int maximum[2] = {100, 100};

 private:
  EventLog& log_;
};

class LoggingClock final : public link::Clock {
 public:
  LoggingClock(VirtualClock& clock, EventLog& log) : clock_(clock), log_(log) {}
  std::uint32_t NowMs() override { return clock_.NowMs(); }
  void MarkPauseStart() override { clock_.MarkPauseStart(); }
  // Both pauses are logged as "sleep MS".
  void SleepMs(std::uint32_t ms) override;
  void SleepAfterMarkMs(std::uint32_t ms) override;

 private:
  VirtualClock& clock_;
  EventLog& log_;
};

// The device as the procedures' unit tests need it: a flash of 124 blocks,
// answers on the scripted link, and a few scripted misbehaviours.
struct FakeDevice {
  std::string deviceId = "0001";
  std::string info = "QL480TX-V5      ";  // 16 characters
  std::vector<std::uint8_t> flash = std::vector<std::uint8_t>(124 * 512, 0xFF);
  std::uint32_t replyDelayMs = 2;

  // Misbehaviours, by 0-based index of the command of that kind.
  std::set<int> silentHandshakes;
  std::set<int> lateHandshakes;      // answered after 350 ms
  int handshakeBodyExtra = 0;        // +1 gives a 30-byte reply, -1 a 28-byte one
  std::map<int, int> writeFailures;  // block -> tries that get no answer
  std::set<int> lateWrites;          // write command indices answered after 350 ms
  std::set<int> lateReadBacks;       // read-back command indices answered after 350 ms
  std::set<int> wrongReadBacks;      // blocks whose read-back shows a flipped bit
  std::set<int> corruptStored;       // blocks stored with a flipped bit
  bool lowercaseReadBack = false;
  // Called with every payload the device receives, before it answers.
  std::function<void(const std::string& payload)> onCommand;

  int handshakes = 0;
  int writes = 0;
  std::map<int, int> writeTries;
  int readBacks = 0;
  int runs = 0;

  std::vector<Arrival> Respond(const std::vector<std::uint8_t>& written, EventLog& log);
};

struct Harness {
  Harness();

  // Opens a scripted link answered by `device`; counts opens and keeps the
  // last link for inspection. `openFails` makes every open fail.
  link::LinkOpener Opener();

  VirtualClock clock{1000};
  EventLog log;
  LoggingClock logClock{clock, log};
  RecordingView view{log};
  // What successful handshakes handed to the store, in order.
  std::vector<link::LinkSettings> storedLinks;
  FakeDevice device;
  bool openFails = false;
  int opens = 0;
  int closes = 0;
  std::vector<link::LinkSettings> openedWith;
  upgrade::Environment env;
  upgrade::DeviceState state;
};

// A firmware file in a fresh temporary folder: the 16-byte header, then the
// image bytes.
class TempFirmware {
 public:
  TempFirmware(std::string_view header, const std::vector<std::uint8_t>& image);
  ~TempFirmware();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path dir_;
  std::filesystem::path path_;
};

// An image of `bytes` bytes with a recognisable pattern.
std::vector<std::uint8_t> PatternImage(std::size_t bytes);

// Whether `events` appear in `log` in this order (others may lie between).
bool InOrder(const EventLog& log, const std::vector<std::string>& events);

// The "tone HZ MS" events of the log not followed at once by "sleep MS".
std::vector<std::string> TonesWithoutTheirPause(const EventLog& log);

// Events of the log that start with `prefix`.
std::vector<std::string> Matching(const EventLog& log, std::string_view prefix);

}  // namespace ql::testing_support
