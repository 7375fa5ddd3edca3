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
constexpr int kAttempts = 3;
// On a pseudo-terminal the kernel hands written bytes to the reader through
// a worker thread of ordinary priority; on a busy machine it can hold a byte
// back a little longer than the quiet period now and then, whatever the
// sender does. A sender that pauses, bursts or drifts does so throughout.
constexpr double kMostGapsOverQuiet = 0.01;
// A schedule that drifts by even the default timer slack a byte is 50 ms
// late by the end of a reply of this length.
constexpr auto kLastByteLateAtMost = std::chrono::milliseconds(20);

struct ReplyTiming {
  bool complete = false;
  Clock::duration earliest{};  // most ahead of the schedule (negative: early)
  Clock::duration lastLate{};  // how late the last byte came
  Clock::duration longestGap{};
  std::size_t gapsOverQuiet = 0;
};

// Byte i of a reply sent at `sent` is due once its last bit has arrived:
// (i + 1) character times after the device began, which is after `sent`.
ReplyTiming Measure(const RawLink::TimedBytes& reply, Clock::time_point sent,
                    std::chrono::nanoseconds character, std::chrono::microseconds quiet) {
  ReplyTiming timing;
  timing.complete = reply.bytes.size() == kReadBackReplyLength;
  if (reply.arrivals.empty()) {
    return timing;
  }
  timing.earliest = Clock::duration::max();
  for (std::size_t i = 0; i < reply.arrivals.size(); ++i) {
    const auto due = sent + character * static_cast<long>(i + 1);
    timing.earliest = std::min(timing.earliest, reply.arrivals[i] - due);
    if (i > 0) {
      const auto gap = reply.arrivals[i] - reply.arrivals[i - 1];
      timing.longestGap = std::max(timing.longestGap, gap);
      timing.gapsOverQuiet += gap > quiet ? 1 : 0;
    }
  }
  timing.lastLate =
      reply.arrivals.back() - (sent + character * static_cast<long>(reply.arrivals.size()));
  return timing;
}

long long Us(Clock::duration d) {
  return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
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
    const ReplyTiming timing = Measure(reply, sent, character, quiet);
    ASSERT_TRUE(timing.complete) << "attempt " << attempt << ": " << reply.bytes.size() << " bytes";
    EXPECT_GE(timing.earliest, Clock::duration::zero())
        << "attempt " << attempt << ": a byte arrived before its last bit was on the line";
    const double overQuiet =
        static_cast<double>(timing.gapsOverQuiet) / static_cast<double>(kReadBackReplyLength - 1);
    onTime = timing.lastLate <= kLastByteLateAtMost && overQuiet <= kMostGapsOverQuiet;
    std::printf(
        "attempt %d at %u baud: last byte %lld us late, longest pause %lld us, %zu "
        "pauses over the quiet %lld us\n",
        attempt, baud, Us(timing.lastLate), Us(timing.longestGap), timing.gapsOverQuiet,
        static_cast<long long>(quiet.count()));
  }
  EXPECT_TRUE(onTime) << "every reply at " << baud
                      << " baud drifted or paused again and again between its bytes";
}

INSTANTIATE_TEST_SUITE_P(LineRates, ReplyPacingTest, ::testing::Values(4800U, 19200U, 921600U),
                         [](const auto& info) { return std::to_string(info.param); });

}  // namespace
}  // namespace ql::sim
