// The emulator's serving thread: one poll loop over the link and a wake-up
// descriptor, with deadlines for late and paced replies and the reboot.
#include "sim/emulator.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "link/errno_text.h"
#include "sim/flash_file.h"
#include "sim/readable_bytes.h"

namespace ql::sim {
namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr std::size_t kReadChunk = 4096;
// Enough for hundreds of upgrades; a long-running emulator does not grow.
constexpr std::size_t kKeptReplyRecords = 100000;
constexpr std::size_t kKeptTimelineEvents = 100000;
// The part of a request payload a timeline event names: ID, command, address.
constexpr std::size_t kTimelineDetailLength = 10;
// A hang-up waits for the utility to take the last reply, at most this long,
// looking this often.
constexpr milliseconds kHangUpDrainLimit{1000};
constexpr milliseconds kHangUpDrainCheck{2};

// The default timer slack, 50 us, would let every byte of a reply at
// 921600 baud (12 us a character) wait for the next.
constexpr unsigned long kTimerSlackNs = 1;
// The lowest real-time priority: above every ordinary thread, below the
// system's own real-time work.
constexpr int kPacingPriority = 1;

// steady_clock is CLOCK_MONOTONIC, the timer's clock.
timespec ToTimespec(SteadyTime at) {
  const auto ns = duration_cast<nanoseconds>(at.time_since_epoch()).count();
  return timespec{.tv_sec = static_cast<time_t>(ns / 1'000'000'000),
                  .tv_nsec = static_cast<long>(ns % 1'000'000'000)};
}

void CountKind(Counters& counters, CommandKind kind) {
  switch (kind) {
    case CommandKind::Handshake:
      ++counters.handshakes;
      break;
    case CommandKind::Write:
      ++counters.writes;
      break;
    case CommandKind::Verify:
      ++counters.verifies;
      break;
    case CommandKind::Run:
      ++counters.runs;
      break;
    case CommandKind::Other:
      ++counters.other;
      break;
  }
}

}  // namespace

Emulator::Emulator(SimConfig config, EmulatorHooks hooks)
    : config_(std::move(config)),
      hooks_(std::move(hooks)),
      replyFaults_(config_.faults),
      byteTime_(config_.faults.pacing.ByteTime()),
      latency_(config_.faults.replyLatency),
      device_(config_.device, config_.faults) {}

Emulator::~Emulator() {
  Stop();
}

bool Emulator::Start(std::string& error) {
  if (thread_.joinable() || stopped_) {
    error = "the emulator has already been started";
    return false;
  }
  error = Validate(config_);
  if (!error.empty()) {
    return false;
  }
  wake_.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wake_.Valid()) {
    error = std::string("cannot create an event descriptor: ") + link::ErrnoText(errno);
    return false;
  }
  timer_.Reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!timer_.Valid()) {
    error = std::string("cannot create a timer: ") + link::ErrnoText(errno);
    return false;
  }
  endpoint_ = OpenEndpoint(config_.link, error);
  if (!endpoint_) {
    return false;
  }
  {
    const std::lock_guard lock(mutex_);
    description_ = endpoint_->Describe();
    slavePath_ = endpoint_->SlavePath();
    port_ = endpoint_->Port();
  }
  thread_ = std::thread([this] { Loop(); });
  return true;
}

std::string Emulator::Stop() {
  if (stopped_) {
    return {};
  }
  stopped_ = true;
  if (!thread_.joinable()) {
    return {};
  }
  stopping_ = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto ignored = ::write(wake_.Get(), &one, sizeof one);
  thread_.join();
  endpoint_.reset();
  if (config_.device.flashOut.empty()) {
    return {};
  }
  return SaveFlashFile(config_.device.flashOut, Flash());
}

std::uint16_t Emulator::Port() const {
  const std::lock_guard lock(mutex_);
  return port_;
}

std::string Emulator::SlavePath() const {
  const std::lock_guard lock(mutex_);
  return slavePath_;
}

std::string Emulator::Describe() const {
  const std::lock_guard lock(mutex_);
  return description_;
}

std::vector<std::uint8_t> Emulator::Flash() const {
  const std::lock_guard lock(mutex_);
  const auto flash = device_.Flash();
  return {flash.begin(), flash.end()};
}

Counters Emulator::GetCounters() const {
  const std::lock_guard lock(mutex_);
  return counters_;
}

std::vector<ReplyRecord> Emulator::Replies() const {
  const std::lock_guard lock(mutex_);
  return {replies_.begin(), replies_.end()};
}

std::vector<TimelineEvent> Emulator::Timeline() const {
  const std::lock_guard lock(mutex_);
  return {timeline_.begin(), timeline_.end()};
}

void Emulator::Record(TimelineKind kind, SteadyTime at, std::string detail) {
  const std::lock_guard lock(mutex_);
  timeline_.push_back({.kind = kind, .at = at, .detail = std::move(detail)});
  if (timeline_.size() > kKeptTimelineEvents) {
    timeline_.pop_front();
  }
}

bool Emulator::WaitUntil(const std::function<bool(const Counters&)>& done,
                         milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return done(counters_); });
}

template <typename F>
void Emulator::Update(F change) {
  {
    const std::lock_guard lock(mutex_);
    change();
  }
  changed_.notify_all();
}

void Emulator::Log(LogLevel level, const std::string& text) const {
  if (hooks_.log) {
    hooks_.log(level, text);
  }
}

// Every deadline (the next byte of a paced reply, a late reply, the end of
// a reboot) is an absolute time on the monotonic clock, and the loop sleeps
// to it on a timer armed with that time: however late one wake-up comes, the
// bytes after it keep their own times and nothing drifts.
void Emulator::Loop() {
  ::prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0);
  if (byteTime_.count() > 0) {
    // A UART sends the bytes of a reply back to back whatever else the
    // machine does; a thread woken late leaves a pause the utility takes
    // for the end of the reply. Real-time scheduling, where the system
    // grants it, wakes this thread ahead of ordinary work. The loop only
    // ever sleeps in ppoll, so it cannot starve anything.
    const sched_param priority{.sched_priority = kPacingPriority};
    if (::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority) != 0) {
      Log(LogLevel::Info,
          "pacing without real-time scheduling (not permitted): on a busy machine a reply "
          "may pause between bytes");
    }
  }
  std::array<pollfd, 5> fds{};
  // What the timer is armed with; the epoch when it is not.
  SteadyTime armed{};
  while (!stopping_) {
    const SteadyTime now = std::chrono::steady_clock::now();
    Advance(now);

    const SteadyTime deadline = NextDeadline(now).value_or(SteadyTime{});
    if (deadline != armed) {
      // A zero time disarms the timer.
      const itimerspec setting{.it_interval = {}, .it_value = ToTimespec(deadline)};
      ::timerfd_settime(timer_.Get(), TFD_TIMER_ABSTIME, &setting, nullptr);
      armed = deadline;
    }

    nfds_t count = 0;
    fds[count++] = {.fd = wake_.Get(), .events = POLLIN, .revents = 0};
    const nfds_t timer = count;
    fds[count++] = {.fd = timer_.Get(), .events = POLLIN, .revents = 0};
    const nfds_t input = count;
    fds[count++] = {.fd = endpoint_->InputFd(), .events = POLLIN, .revents = 0};
    const nfds_t events = count;
    fds[count++] = {.fd = endpoint_->EventFd(), .events = POLLIN, .revents = 0};
    nfds_t output = 0;
    if (outputBlocked_ && endpoint_->OutputFd() >= 0) {
      output = count;
      fds[count++] = {.fd = endpoint_->OutputFd(), .events = POLLOUT, .revents = 0};
    }
    if (::ppoll(fds.data(), count, nullptr, nullptr) < 0) {
      continue;  // interrupted by a signal
    }
    if (fds[0].revents != 0) {
      std::uint64_t drained = 0;
      [[maybe_unused]] const auto ignored = ::read(wake_.Get(), &drained, sizeof drained);
    }
    if (fds[timer].revents != 0) {
      std::uint64_t expirations = 0;
      [[maybe_unused]] const auto ignored = ::read(timer_.Get(), &expirations, sizeof expirations);
      armed = {};  // fired: a timer armed to the same time again must fire again
    }
    if (output != 0 && fds[output].revents != 0) {
      outputBlocked_ = false;
    }
    // Opens and closes first: bytes that a utility sent before it closed
    // arrive with it gone, like those it sends after a reopen.
    if (fds[events].revents != 0) {
      for (const InputResult& event : endpoint_->ReadEvents()) {
        OnLinkEvent(event);
      }
    }
    if (fds[input].revents != 0) {
      ReadInput(std::chrono::steady_clock::now());
    }
  }
}

// Does everything that is due: ends a reboot, sends what the line can take,
// and hands the device the next frame once the previous reply is out.
void Emulator::Advance(SteadyTime now) {
  for (;;) {
    if (rebootUntil_ && now >= *rebootUntil_) {
      rebootUntil_.reset();
      Log(LogLevel::Info, "running again");
    }
    if (hangUpBy_) {
      if (now < *hangUpBy_ && !endpoint_->Delivered()) {
        return;
      }
      HangUp();
    }
    if (!SendEchoes(now)) {
      return;
    }
    if (outgoing_) {
      if (!PumpOutput(now)) {
        return;
      }
      continue;
    }
    if (inbox_.empty() || inbox_.front().readyAt > now) {
      return;
    }
    const QueuedFrame frame = std::move(inbox_.front());
    inbox_.pop_front();
    Handle(frame, now);
  }
}

void Emulator::ReadInput(SteadyTime now) {
  std::array<std::uint8_t, kReadChunk> buffer{};
  const InputResult result = endpoint_->Read(buffer);
  if (result.event != InputEvent::Data) {
    OnLinkEvent(result);
    return;
  }
  for (const std::uint8_t b : std::span(buffer).first(result.count)) {
    const bool wasInFrame = framer_.InFrame();
    auto frame = framer_.Feed(b);
    if (!wasInFrame && framer_.InFrame()) {
      frameStart_ = now;
    }
    if (frame) {
      Record(TimelineKind::Request, now, frame->payload.substr(0, kTimelineDetailLength));
      ++requestsReceived_;
      if (hooks_.requestReceived) {
        hooks_.requestReceived({.number = requestsReceived_, .firstByte = frameStart_});
      }
      TakeFrame(std::move(*frame), now);
    }
  }
}

void Emulator::OnLinkEvent(const InputResult& event) {
  switch (event.event) {
    case InputEvent::Nothing:
    case InputEvent::Data:
      return;
    case InputEvent::Connected:
      Record(TimelineKind::Opened, std::chrono::steady_clock::now());
      Update([this] { ++counters_.connections; });
      Log(LogLevel::Info, event.detail);
      return;
    case InputEvent::PeerClosed:
      Record(TimelineKind::Closed, std::chrono::steady_clock::now());
      Log(LogLevel::Info, event.detail);
      ForgetConnection();
      Update([this] { ++counters_.disconnections; });
      return;
  }
}

void Emulator::TakeFrame(RequestFrame frame, SteadyTime now) {
  const bool rebooting = rebootUntil_.has_value();
  Update([&] {
    ++counters_.frames;
    if (rebooting) {
      ++counters_.ignoredRebooting;
    } else if (!frame.crcOk) {
      ++counters_.badCrc;
    }
  });
  const bool taken = !rebooting && frame.crcOk;
  const std::optional<CommandKind> kind =
      taken ? device_.Classify(frame.payload) : std::optional<CommandKind>();
  if (replyFaults_.Echoes(PredictNumber(kind))) {
    // The adapter sends the frame back as it passes; the device plays no part.
    echoes_.push_back({.bytes = frame.Wire(), .sent = 0, .dueAt = now + latency_});
  }
  if (rebooting) {
    Log(LogLevel::Traffic, "rx " + ReadableBytes(frame.payload) + " -> ignored while rebooting");
    return;
  }
  if (!frame.crcOk) {
    Log(LogLevel::Traffic, "rx " + ReadableBytes(frame.payload) + " -> ignored: wrong CRC");
    return;
  }
  SteadyTime readyAt = now;
  if (config_.faults.pacing.requests) {
    // On a paced line the whole frame is there only after its wire time.
    readyAt = std::max(now, frameStart_ + byteTime_ * static_cast<long>(frame.wireBytes));
  }
  inbox_.push_back({.payload = std::move(frame.payload), .readyAt = readyAt, .kind = kind});
}

// The number the device will give a command of `kind` once it has carried
// out the frames queued ahead of it: they are numbered in the order they
// came, unless a reboot or a closed link drops them first.
std::optional<CommandRef> Emulator::PredictNumber(std::optional<CommandKind> kind) const {
  if (!kind) {
    return std::nullopt;
  }
  CommandRef command{.kind = *kind, .number = 0, .kindNumber = 0};
  {
    const std::lock_guard lock(mutex_);
    command.number = device_.Commands();
    command.kindNumber = device_.CommandsOf(*kind);
  }
  for (const QueuedFrame& queued : inbox_) {
    if (queued.kind) {
      ++command.number;
      command.kindNumber += *queued.kind == *kind ? 1 : 0;
    }
  }
  ++command.number;
  ++command.kindNumber;
  return command;
}

void Emulator::Handle(const QueuedFrame& frame, SteadyTime now) {
  std::optional<Answer> answer;
  Update([&] {
    answer = device_.Handle(frame.payload);
    if (!answer) {
      ++counters_.otherDevice;
      return;
    }
    ++counters_.commands;
    CountKind(counters_, answer->command.kind);
    if (!answer->body) {
      ++counters_.unanswered;
    }
  });
  const std::string received = "rx " + ReadableBytes(frame.payload);
  if (!answer) {
    Log(LogLevel::Traffic, received + " -> ignored: addressed to another device");
    return;
  }
  const CommandRef& command = answer->command;
  Log(LogLevel::Traffic, received + " -> #" + std::to_string(command.number) + " " + answer->note +
                             (answer->body ? "" : ", no reply"));

  Transmission transmission = replyFaults_.Transmit(command, answer->body, previousFrame_);
  if (!transmission.frame.empty()) {
    previousFrame_ = transmission.frame;
  }
  if (!transmission.faults.empty()) {
    Log(LogLevel::Traffic, "#" + std::to_string(command.number) +
                               " faults: " + transmission.faults +
                               (transmission.delay.count() > 0
                                    ? " by " + std::to_string(transmission.delay.count()) + " ms"
                                    : ""));
  }
  // The link's latency counts from the request; a reply held up behind
  // another leaves no sooner than the device gets to it.
  const SteadyTime startAt = std::max(now, frame.readyAt + latency_) + transmission.delay;
  outgoing_ = Outgoing{.bytes = std::move(transmission.bytes),
                       .sent = 0,
                       .startAt = startAt,
                       .pauseAt = transmission.pauseAt,
                       .pause = transmission.pause,
                       .firstWritten = std::nullopt,
                       .command = command,
                       .reboot = answer->startsReboot,
                       .hangUp = replyFaults_.HangsUpAfter(command)};
}

// Writes the echoes that are due, unless a reply is part way out. False
// while the link takes no more.
bool Emulator::SendEchoes(SteadyTime now) {
  while (!echoes_.empty() && echoes_.front().dueAt <= now && !(outgoing_ && outgoing_->PartWay())) {
    if (outputBlocked_) {
      return false;
    }
    Echo& echo = echoes_.front();
    const OutputResult result = endpoint_->Write(std::span(echo.bytes).subspan(echo.sent));
    if (result.status == OutputStatus::WouldBlock) {
      outputBlocked_ = true;
      return false;
    }
    if (result.status == OutputStatus::PeerGone) {
      Log(LogLevel::Info, "connection broken while echoing");
      ForgetConnection();
      return true;
    }
    echo.sent += result.count;
    if (echo.sent < echo.bytes.size()) {
      continue;
    }
    Log(LogLevel::Traffic, "echo " + ReadableBytes(echo.bytes));
    echoes_.pop_front();
    Update([this] { ++counters_.echoes; });
  }
  return true;
}

ReplySchedule Emulator::Schedule(const Outgoing& out) const {
  return {.start = out.startAt,
          .byteTime = byteTime_,
          .length = out.bytes.size(),
          .pauseAt = out.pauseAt,
          .pause = out.pause};
}

// Writes what is due of the reply in progress. True once it is complete.
bool Emulator::PumpOutput(SteadyTime now) {
  Outgoing& out = *outgoing_;
  if (now < out.startAt || outputBlocked_) {
    return false;
  }
  const std::size_t due = Schedule(out).DueCount(now);
  // The CR's time is taken as the write that carries it begins: the reader
  // may take the bytes before the write returns, and a thread preempted
  // after the write would stamp it late.
  SteadyTime handedAt = std::chrono::steady_clock::now();
  while (out.sent < due) {
    handedAt = std::chrono::steady_clock::now();
    if (!out.firstWritten) {
      out.firstWritten = handedAt;
    }
    const OutputResult result =
        endpoint_->Write(std::span(out.bytes).subspan(out.sent, due - out.sent));
    if (hooks_.replyWritten && result.count > 0) {
      hooks_.replyWritten({.command = out.command,
                           .first = out.sent,
                           .asked = due - out.sent,
                           .written = result.count,
                           .decided = now,
                           .began = handedAt,
                           .schedule = Schedule(out)});
    }
    if (result.status == OutputStatus::WouldBlock) {
      outputBlocked_ = true;
      return false;
    }
    if (result.status == OutputStatus::PeerGone) {
      Log(LogLevel::Info, "connection broken while replying");
      ForgetConnection();
      return false;
    }
    if (result.status == OutputStatus::Discarded) {
      Log(LogLevel::Traffic,
          "#" + std::to_string(out.command.number) + " reply lost: nobody is listening");
    }
    out.sent += result.count;
  }
  if (out.sent < out.bytes.size()) {
    return false;
  }
  Complete(handedAt);
  return true;
}

void Emulator::Complete(SteadyTime now) {
  const Outgoing out = std::move(*outgoing_);
  outgoing_.reset();
  if (!out.bytes.empty()) {
    const ReplyRecord record{.command = out.command,
                             .bytes = out.bytes.size(),
                             .firstWritten = out.firstWritten.value_or(now),
                             .crWritten = now};
    Record(TimelineKind::Reply, now, KindName(out.command.kind));
    Update([&] {
      ++counters_.replies;
      replies_.push_back(record);
      if (replies_.size() > kKeptReplyRecords) {
        replies_.pop_front();
      }
    });
    Log(LogLevel::Traffic,
        "tx #" + std::to_string(out.command.number) + " " + ReadableBytes(out.bytes));
    if (hooks_.replySent) {
      hooks_.replySent(record);
    }
  }
  if (out.reboot) {
    rebootUntil_ = now + config_.device.rebootSilence;
    inbox_.clear();
    framer_.Reset();
    Update([this] { ++counters_.reboots; });
    Log(LogLevel::Info,
        "rebooting: silent for " + std::to_string(config_.device.rebootSilence.count()) + " ms");
    SaveFlash();
    if (hooks_.rebootStarted) {
      hooks_.rebootStarted();
    }
  }
  if (out.hangUp) {
    hangUpBy_ = now + kHangUpDrainLimit;
    hangUpAfter_ = out.command.number;
  }
}

void Emulator::HangUp() {
  hangUpBy_.reset();
  Log(LogLevel::Info, "hanging up after command " + std::to_string(hangUpAfter_));
  std::string error;
  const bool renewed = endpoint_->HangUp(error);
  ForgetConnection();
  const std::string description = endpoint_->Describe();
  bool changed = false;
  Update([&] {
    ++counters_.hangUps;
    changed = description != description_;
    description_ = description;
    slavePath_ = endpoint_->SlavePath();
  });
  if (!renewed) {
    Log(LogLevel::Info, "cannot serve a new pseudo-terminal: " + error);
  }
  if (changed && hooks_.endpointChanged) {
    hooks_.endpointChanged(description);
  }
}

// What the utility sent on a link that is gone is gone with it.
void Emulator::ForgetConnection() {
  inbox_.clear();
  outgoing_.reset();
  echoes_.clear();
  outputBlocked_ = false;
  framer_.Reset();
}

std::optional<SteadyTime> Emulator::NextDeadline(SteadyTime now) const {
  std::optional<SteadyTime> next;
  const auto consider = [&next](SteadyTime t) { next = next ? std::min(*next, t) : t; };
  if (rebootUntil_) {
    consider(*rebootUntil_);
  }
  if (hangUpBy_) {
    consider(std::min(*hangUpBy_, now + kHangUpDrainCheck));
    return next;
  }
  const bool replyPartWay = outgoing_ && outgoing_->PartWay();
  if (!echoes_.empty() && !replyPartWay && !outputBlocked_) {
    consider(echoes_.front().dueAt);
  }
  if (outgoing_) {
    if (now < outgoing_->startAt) {
      consider(outgoing_->startAt);
    } else if (!outputBlocked_) {
      consider(Schedule(*outgoing_).Due(outgoing_->sent));
    }
  } else if (!inbox_.empty()) {
    consider(inbox_.front().readyAt);
  }
  return next;
}

void Emulator::SaveFlash() {
  if (config_.device.flashOut.empty()) {
    return;
  }
  if (const std::string error = SaveFlashFile(config_.device.flashOut, Flash()); !error.empty()) {
    Log(LogLevel::Info, error);
  }
}

}  // namespace ql::sim
