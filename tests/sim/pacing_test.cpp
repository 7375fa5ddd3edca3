// Reply pacing as a serial line delivers it: a UART puts the bytes of a
// reply on the line back to back, one character time apart, so a reader sees
// none of them early and no pause between them long enough to take the line
// for quiet. Measured on the reading side of the pseudo-terminal.
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>

#include <gtest/gtest.h>

#include "link/serial_reply_wait.h"
#include "sim_test_util.h"

namespace ql::sim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing_support::RawLink;
using testing_support::StartEmulator;

constexpr double kBitsPerCharacter = 11;  // 8E1
constexpr std::size_t kReadBackReplyLength = 1037;
// A reply is measured up to this often: one that a loaded machine held up
// somewhere is measured again, but bytes early are never excused.
constexpr int kAttempts = 5;

struct ReplyTiming {
  bool complete = false;
  Clock::duration earliest{};  // most ahead of the schedule (negative: early)
  Clock::duration latest{};    // most behind the schedule, from the first byte's lateness
  Clock::duration longestGap{};
};

// Byte i of a reply sent at `sent` is due once its last bit has arrived:
// (i + 1) character times after the device began, which is after `sent`.
ReplyTiming Measure(const RawLink::TimedBytes& reply, Clock::time_point sent,
                    std::chrono::nanoseconds character) {
  ReplyTiming timing;
  timing.complete = reply.bytes.size() == kReadBackReplyLength;
  if (reply.arrivals.empty()) {
    return timing;
  }
  timing.earliest = Clock::duration::max();
  timing.latest = Clock::duration::min();
  // The start of the schedule: the earliest the device can have begun for
  // the bytes to arrive when they did.
  Clock::time_point start = Clock::time_point::max();
  for (std::size_t i = 0; i < reply.arrivals.size(); ++i) {
    const auto due = sent + character * static_cast<long>(i + 1);
    timing.earliest = std::min(timing.earliest, reply.arrivals[i] - due);
    start = std::min(start, reply.arrivals[i] - character * static_cast<long>(i + 1));
  }
  for (std::size_t i = 0; i < reply.arrivals.size(); ++i) {
    timing.latest =
        std::max(timing.latest, reply.arrivals[i] - (start + character * static_cast<long>(i + 1)));
    if (i > 0) {
      timing.longestGap = std::max(timing.longestGap, reply.arrivals[i] - reply.arrivals[i - 1]);
    }
  }
  return timing;
}

// The reading thread at real-time priority where the system grants it, as
// the emulator's own: what is measured is then the line, not how late an
// ordinary thread on a busy machine gets to look at it.
class ReplyPacingTest : public ::testing::TestWithParam<std::uint32_t> {
 protected:
  void SetUp() override {
    int policy = 0;
    ::pthread_getschedparam(::pthread_self(), &policy, &saved_);
    savedPolicy_ = policy;
    const sched_param priority{.sched_priority = 1};
    ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority);
  }
  void TearDown() override { ::pthread_setschedparam(::pthread_self(), savedPolicy_, &saved_); }

 private:
  int savedPolicy_ = SCHED_OTHER;
  sched_param saved_{};
};

TEST_P(ReplyPacingTest, EveryByteArrivesOnItsOwnScheduleWithoutAQuietPause) {
  const std::uint32_t baud = GetParam();
  SimConfig config;
  config.link.type = LinkType::Pty;
  config.faults.pacing = {.baud = baud, .bitsPerByte = kBitsPerCharacter, .requests = false};
  const auto emulator = StartEmulator(config);
  RawLink link = RawLink::Pty(emulator->SlavePath());
  ASSERT_TRUE(link.Open());

  const auto character = link::CharacterTimeAt(baud, kBitsPerCharacter);
  // What the utility's reply wait takes for a quiet line at this rate.
  const auto quiet = link::QuietPeriod(character);
  const auto lineTime = character * static_cast<long>(kReadBackReplyLength);
  bool onTime = false;
  for (int attempt = 0; attempt < kAttempts && !onTime; ++attempt) {
    const auto sent = Clock::now();
    link.SendRequest("0001Zv0000");
    const auto reply =
        link.ReadReplyTimed(std::chrono::duration_cast<std::chrono::milliseconds>(lineTime) + 2s);
    const ReplyTiming timing = Measure(reply, sent, character);
    ASSERT_TRUE(timing.complete) << "attempt " << attempt << ": " << reply.bytes.size() << " bytes";
    EXPECT_GE(timing.earliest, Clock::duration::zero())
        << "attempt " << attempt << ": a byte arrived before its last bit was on the line";
    onTime = timing.longestGap <= quiet && timing.latest <= quiet;
    if (!onTime) {
      std::printf(
          "attempt %d at %u baud: longest pause %lld us, latest %lld us, quiet %lld us\n", attempt,
          baud,
          static_cast<long long>(
              std::chrono::duration_cast<std::chrono::microseconds>(timing.longestGap).count()),
          static_cast<long long>(
              std::chrono::duration_cast<std::chrono::microseconds>(timing.latest).count()),
          static_cast<long long>(quiet.count()));
    }
  }
  EXPECT_TRUE(onTime) << "every reply at " << baud
                      << " baud had a pause the reader takes for a quiet line, or drifted";
}

INSTANTIATE_TEST_SUITE_P(LineRates, ReplyPacingTest, ::testing::Values(4800U, 19200U, 921600U),
                         [](const auto& info) { return std::to_string(info.param); });

}  // namespace
}  // namespace ql::sim
