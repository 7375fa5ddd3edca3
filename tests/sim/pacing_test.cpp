// Reply pacing as a serial line delivers it: a UART puts the bytes of a
// reply on the line back to back, one character time apart. Judged by the
// emulator's own schedule and the stamps of its own writes on a
// pseudo-terminal: no byte is written before its last bit would be on the
// line, none is held back once due, and the schedule counts every byte from
// the reply's start, so it cannot drift however late a write comes. How the
// bytes then arrive through the kernel is the machine's; the benchmarks
// report it (pacing_bench).
#include <chrono>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "link/serial_reply_wait.h"
#include "sim_test_util.h"

namespace ql::sim {
namespace {

using namespace std::chrono_literals;
using testing_support::RawLink;
using testing_support::StartEmulator;

constexpr double kBitsPerCharacter = 11;  // 8E1
constexpr std::size_t kReadBackReplyLength = 1037;

class ReplyPacingTest : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(ReplyPacingTest, EveryByteIsWrittenOnItsOwnScheduleAndNoneEarly) {
  const std::uint32_t baud = GetParam();
  SimConfig config;
  config.link.type = LinkType::Pty;
  config.faults.pacing = {.baud = baud, .bitsPerByte = kBitsPerCharacter, .requests = false};
  std::mutex mutex;
  std::vector<ReplyWrite> writes;
  EmulatorHooks hooks;
  hooks.replyWritten = [&](const ReplyWrite& write) {
    const std::lock_guard lock(mutex);
    writes.push_back(write);
  };
  const auto emulator = StartEmulator(config, std::move(hooks));
  RawLink link = RawLink::Pty(emulator->SlavePath());
  ASSERT_TRUE(link.Open());

  link.SendRequest("0001Zv0000");
  EXPECT_EQ(link.ReadReply(60s).size(), kReadBackReplyLength);
  ASSERT_TRUE(emulator->WaitUntil([](const Counters& c) { return c.replies == 1; }, 30s));

  const std::lock_guard lock(mutex);
  ASSERT_FALSE(writes.empty());
  const ReplySchedule& schedule = writes.front().schedule;
  const auto character = link::CharacterTimeAt(baud, kBitsPerCharacter);
  ASSERT_EQ(schedule.length, kReadBackReplyLength);
  // A character time from the reply's start for every byte, to the
  // nanosecond: the last byte's due time is the whole line time after the
  // start, not the sum of how late each write came.
  EXPECT_EQ(schedule.byteTime, character);
  for (std::size_t i = 0; i < schedule.length; ++i) {
    ASSERT_EQ(schedule.Due(i), schedule.start + character * static_cast<long>(i + 1)) << i;
  }

  std::size_t next = 0;
  for (const ReplyWrite& write : writes) {
    SCOPED_TRACE("write of bytes " + std::to_string(write.first) + " to " +
                 std::to_string(write.first + write.written - 1));
    EXPECT_EQ(write.schedule.start, schedule.start) << "one schedule for the whole reply";
    EXPECT_EQ(write.first, next) << "every byte written once, in order";
    next = write.first + write.written;
    // Nothing early: the last byte handed over was due when the bytes were
    // counted, and the write began after that.
    EXPECT_LE(schedule.Due(write.first + write.asked - 1), write.decided);
    EXPECT_LE(write.decided, write.began);
    // Nothing held back: every byte due at that moment went into the write.
    EXPECT_EQ(write.first + write.asked, schedule.DueCount(write.decided));
  }
  EXPECT_EQ(next, kReadBackReplyLength);
}

INSTANTIATE_TEST_SUITE_P(LineRates, ReplyPacingTest, ::testing::Values(4800U, 19200U, 921600U),
                         [](const auto& info) { return std::to_string(info.param); });

}  // namespace
}  // namespace ql::sim
