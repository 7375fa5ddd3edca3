// A test bench for the procedures on the virtual clock: a recorder of their
// events and a clock that write every step into one log, a small scripted
// device behind the scripted link, and a record of the links stored.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/scripted_transport.h"
#include "support/virtual_clock.h"
#include "upgrade/procedures.h"
#include "upgrade/status_line.h"

namespace ql::testing_support {

// What the procedures tell, and what the device receives, as short text in
// one log: "start connect", "link opened", "handshake failed 1", "device
// ...", "model matched", "image loaded 4", "phase program 4", "blocks
// program 4", "block program 0", "end program ok", "end verify data
// differs block 2 tries 0 done 2", "run sent 7000", "run wait 7", "tone 1000
// 300", "finish done"; the status line's message after the event that puts
// it there, as "msg 10" or "msg 10 ( 9 )"; sleeps as "sleep 100"; the link's
// "open", "open failed" and "close"; commands the device received as "send
// <ID, command and address>" (data left out).
using EventLog = std::vector<std::string>;

// "msg N" with the suffix, as the log holds a status message.
std::string Msg(int number, std::string_view suffix = {});

class RecordingEvents final : public upgrade::ProcedureEvents {
 public:
  explicit RecordingEvents(EventLog& log) : log_(log) {}

  void Started(upgrade::Procedure procedure) override;
  void LinkOpened() override;
  void LinkNotOpened(std::string_view reason) override;
  void HandshakeFailed(int attempt, const upgrade::TryEnd& last) override;
  void DeviceNotFound(int attempts, const upgrade::TryEnd& last) override;
  void DeviceFound(std::string_view deviceInfo) override;
  void ModelMatched() override;
  void ModelMismatched(std::string_view deviceInfo, std::string_view fileHeader) override;
  void ImageLoaded(int blockCount) override;
  void ImageNotLoaded(upgrade::LoadFailure why, int error) override;
  void PhaseStarted(upgrade::Phase phase, int blockCount) override;
  void BlocksBegin(upgrade::Phase phase, int blockCount) override;
  void BlockDone(upgrade::Phase phase, int block) override;
  void PhaseEnded(const upgrade::PhaseEnd& end) override;
  void RunSent(std::uint32_t waitMs) override;
  void RunWaitLeft(int seconds) override;
  void ToneStarted(const upgrade::Tone& tone) override;
  void Finished(const upgrade::Finish& finish) override;

  // The phases as they ended, and how the last procedure ended.
  std::vector<upgrade::PhaseEnd> phases;
  std::optional<upgrade::Finish> finish;

 private:
  void Log(std::string entry);
  void Show(const std::optional<upgrade::Status>& status);

  EventLog& log_;
  upgrade::StatusLine status_;
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
  RecordingEvents events{log};
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

// The "tone HZ MS" entries of the log not followed at once by "sleep MS".
std::vector<std::string> TonesWithoutTheirPause(const EventLog& log);

// Entries of the log that start with `prefix`.
std::vector<std::string> Matching(const EventLog& log, std::string_view prefix);

}  // namespace ql::testing_support
