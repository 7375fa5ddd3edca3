// The emulated device on a live link: serves TCP or a pseudo-terminal on a
// thread of its own, answers request frames as the device does, and injects
// the configured faults. Tests run it in-process; the program wraps it.
//
// The device handles one command at a time: a command is taken only once the
// reply to the previous one is fully on the link, so a late reply holds back
// everything behind it, just as a busy device would. Frames with a wrong CRC
// or for another device ID get no reply and are not numbered. After the run
// command is acknowledged the device is silent for the reboot time and
// forgets what it had received. A link that the utility closes takes its
// unanswered commands with it; the next connection or open starts afresh.
//
// With a link latency a reply leaves that long after its request came in,
// and never before the reply ahead of it. An echo of a request is the
// link's, not the device's: it goes out as soon as the request is in (after
// the latency), ahead of replies still to come, but never into the middle
// of a reply already on its way.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/device.h"
#include "sim/endpoint.h"
#include "sim/reply_faults.h"
#include "sim/reply_schedule.h"
#include "sim/request_framer.h"
#include "sim/sim_config.h"
#include "sim/unique_fd.h"

namespace ql::sim {

using SteadyTime = std::chrono::steady_clock::time_point;

// One reply as it went out.
struct ReplyRecord {
  CommandRef command;
  std::size_t bytes = 0;    // bytes written, noise included
  SteadyTime firstWritten;  // when the write that handed its first byte to the link began
  SteadyTime crWritten;     // when the write that handed its CR to the link began
};

// One write of a reply's bytes to the link, as the emulator stamped it, with
// the schedule the bytes were due on.
struct ReplyWrite {
  CommandRef command;
  std::size_t first = 0;    // the index in the reply of the first byte written
  std::size_t asked = 0;    // bytes handed to the write: all that were due
  std::size_t written = 0;  // bytes the link took
  SteadyTime decided;       // the moment the bytes due were counted at
  SteadyTime began;         // when the write began
  ReplySchedule schedule;
};

// One complete request frame as it came in, whatever its CRC or ID.
struct RequestRecord {
  std::size_t number = 0;  // frames completed since the emulator started, from 1
  SteadyTime firstByte;    // when the read that brought its start byte began
};

// What the device saw happen on its link, for comparing the timing of two
// utilities against each other.
enum class TimelineKind {
  Opened,   // a utility connected or opened the pseudo-terminal
  Request,  // a request frame was complete, whatever its CRC or ID
  Reply,    // a reply's CR was handed to the link
  Closed,   // the utility closed the connection or the pseudo-terminal
};

struct TimelineEvent {
  TimelineKind kind = TimelineKind::Opened;
  SteadyTime at;
  // Request: the first ten payload characters ("0001Zp0400"); Reply: the
  // kind of command answered ("handshake").
  std::string detail;
};

struct Counters {
  std::size_t frames = 0;            // complete request frames, whatever their CRC or ID
  std::size_t badCrc = 0;            // frames whose CRC did not match
  std::size_t otherDevice = 0;       // right CRC, another device ID
  std::size_t ignoredRebooting = 0;  // frames that arrived while rebooting
  std::size_t commands = 0;          // numbered commands (right CRC, this device)
  std::size_t handshakes = 0;
  std::size_t writes = 0;
  std::size_t verifies = 0;
  std::size_t runs = 0;
  std::size_t other = 0;           // unknown or malformed commands
  std::size_t unanswered = 0;      // commands the device gave no reply to
  std::size_t replies = 0;         // replies put on the link
  std::size_t echoes = 0;          // request frames echoed back whole
  std::size_t connections = 0;     // TCP connections accepted, opens of the pty
  std::size_t disconnections = 0;  // the utility closed the connection or the pty
  std::size_t hangUps = 0;
  std::size_t reboots = 0;
};

enum class LogLevel {
  Info,     // connections, reboots, hang-ups, problems
  Traffic,  // every frame received and every reply sent
};

// Called on the emulator's thread; they must not call back into the emulator
// in a way that waits for it.
struct EmulatorHooks {
  std::function<void(LogLevel, const std::string&)> log;
  std::function<void(const RequestRecord&)> requestReceived;
  std::function<void(const ReplyRecord&)> replySent;
  // Every write of reply bytes that the link took.
  std::function<void(const ReplyWrite&)> replyWritten;
  // The endpoint changed after a hang-up: the new "pty /dev/pts/N" line.
  std::function<void(const std::string&)> endpointChanged;
  // The run command was carried out (whether or not its reply got through)
  // and the device has gone silent to reboot.
  std::function<void()> rebootStarted;
};

class Emulator {
 public:
  explicit Emulator(SimConfig config, EmulatorHooks hooks = {});
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Checks the configuration, binds the port or creates the pseudo-terminal
  // and starts serving. False, with `error` for the user, when it cannot.
  bool Start(std::string& error);

  // Stops serving, closes the link (removing the pty symlink) and saves the
  // flash when a file is configured. Returns the saving error, empty when
  // none. Calling it again does nothing.
  std::string Stop();

  std::uint16_t Port() const;
  std::string SlavePath() const;
  // "listening 127.0.0.1:40123" or "pty /dev/pts/3".
  std::string Describe() const;

  std::vector<std::uint8_t> Flash() const;
  Counters GetCounters() const;
  // The replies sent, oldest first; the most recent 100000 are kept.
  std::vector<ReplyRecord> Replies() const;
  // What happened on the link, oldest first; the most recent 100000 events
  // are kept.
  std::vector<TimelineEvent> Timeline() const;

  // Waits until `done` holds for the counters, at most `timeout`. Returns
  // whether it holds.
  bool WaitUntil(const std::function<bool(const Counters&)>& done,
                 std::chrono::milliseconds timeout) const;

 private:
  struct QueuedFrame {
    std::string payload;
    SteadyTime readyAt;               // when the device has the whole frame
    std::optional<CommandKind> kind;  // as the device will number it; nullopt: another ID
  };
  struct Outgoing {
    std::vector<std::uint8_t> bytes;
    std::size_t sent = 0;
    SteadyTime startAt;
    // Bytes from pauseAt on are held back by `pause` on top of their schedule.
    std::size_t pauseAt = 0;
    std::chrono::microseconds pause{0};
    std::optional<SteadyTime> firstWritten;
    CommandRef command;
    bool reboot = false;
    bool hangUp = false;

    bool PartWay() const { return sent > 0 && sent < bytes.size(); }
  };
  struct Echo {
    std::vector<std::uint8_t> bytes;
    std::size_t sent = 0;
    SteadyTime dueAt;
  };

  void Loop();
  void Advance(SteadyTime now);
  void ReadInput(SteadyTime now);
  void OnLinkEvent(const InputResult& event);
  void TakeFrame(RequestFrame frame, SteadyTime now);
  std::optional<CommandRef> PredictNumber(std::optional<CommandKind> kind) const;
  void Handle(const QueuedFrame& frame, SteadyTime now);
  bool SendEchoes(SteadyTime now);
  bool PumpOutput(SteadyTime now);
  ReplySchedule Schedule(const Outgoing& out) const;
  void Complete(SteadyTime now);
  void HangUp();
  void ForgetConnection();
  std::optional<SteadyTime> NextDeadline(SteadyTime now) const;
  void Log(LogLevel level, const std::string& text) const;
  void SaveFlash();
  void Record(TimelineKind kind, SteadyTime at, std::string detail = {});
  template <typename F>
  void Update(F change);

  const SimConfig config_;
  const EmulatorHooks hooks_;
  const ReplyFaults replyFaults_;
  const std::chrono::nanoseconds byteTime_;
  const std::chrono::milliseconds latency_;

  // Owned by the serving thread once started.
  std::unique_ptr<Endpoint> endpoint_;
  RequestFramer framer_;
  SteadyTime frameStart_;
  std::size_t requestsReceived_ = 0;
  std::deque<QueuedFrame> inbox_;
  std::optional<Outgoing> outgoing_;
  std::deque<Echo> echoes_;
  // The last reply frame put on the link, for a stale copy of it.
  std::vector<std::uint8_t> previousFrame_;
  bool outputBlocked_ = false;
  std::optional<SteadyTime> rebootUntil_;
  // A hang-up waiting for the utility to take the last reply, and how long
  // it waits at most.
  std::optional<SteadyTime> hangUpBy_;
  std::size_t hangUpAfter_ = 0;

  UniqueFd wake_;
  UniqueFd timer_;  // the next deadline, armed with its absolute time
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  bool stopped_ = false;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Device device_;  // guarded by mutex_
  Counters counters_;
  std::deque<ReplyRecord> replies_;
  std::deque<TimelineEvent> timeline_;
  std::string description_;
  std::string slavePath_;
  std::uint16_t port_ = 0;
};

}  // namespace ql::sim
