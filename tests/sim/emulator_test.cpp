// The emulator on live links, seen as raw bytes: frames it ignores, the
// pseudo-terminal kept through reopens and hang-ups, reboot silence, line
// pacing, reply times and the flash file.
#include "sim/emulator.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "link/frame.h"
#include "sim/flash_file.h"
#include "sim_test_util.h"
#include "support/temp_folder.h"

namespace ql::sim {
namespace {

using namespace std::chrono_literals;
using testing_support::BlockHex;
using testing_support::Bytes;
using testing_support::Pattern;
using testing_support::RawLink;
using testing_support::StartEmulator;
using testing_support::TempFolder;
using testing_support::WritePayload;

// How long a test waits for what must come: only a test that has already
// failed waits this long, so it is generous for a busy machine.
constexpr auto kReplyTimeout = 30'000ms;

std::string ReplyBody(const Bytes& reply) {
  const auto start = std::find(reply.begin(), reply.end(), link::kReplyStart);
  const auto end = std::find(start, reply.end(), link::kReplyEnd);
  return start == reply.end() || end == reply.end() ? std::string() : std::string(start + 1, end);
}

SimConfig PtyConfig(const std::string& link = {}) {
  SimConfig config;
  config.link.type = LinkType::Pty;
  config.link.ptyLink = link;
  return config;
}

TEST(EmulatorTest, PtyKeepsServingWhenTheSlaveIsClosedAndReopened) {
  const auto emulator = StartEmulator(PtyConfig());
  const std::string slave = emulator->SlavePath();
  ASSERT_FALSE(slave.empty());
  EXPECT_EQ(emulator->Describe(), "pty " + slave);
  const Bytes data = Pattern(11);
  {
    RawLink link = RawLink::Pty(slave);
    ASSERT_TRUE(link.Open());
    link.SendRequest(WritePayload("0001", 6, data));
    EXPECT_EQ(ReplyBody(link.ReadReply(kReplyTimeout)), "0001Zp0C00");
  }
  for (int round = 0; round < 2; ++round) {
    RawLink link = RawLink::Pty(slave);
    ASSERT_TRUE(link.Open());
    link.SendRequest("0001Zv0C00");
    EXPECT_EQ(ReplyBody(link.ReadReply(kReplyTimeout)), "0001Zv" + BlockHex(data))
        << "round " << round;
  }
}

TEST(EmulatorTest, PtyEndsAnExclusiveOpenOnceItsUtilityIsGone) {
  // The emulator holds the slave itself, so the terminal never sees the last
  // close that would end an exclusive open left by a utility that died.
  const auto emulator = StartEmulator(PtyConfig());
  const std::string slave = emulator->SlavePath();
  {
    const int fd = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ioctl(fd, TIOCEXCL), 0);
    ::close(fd);  // gone without TIOCNXCL
  }
  ASSERT_TRUE(
      emulator->WaitUntil([](const Counters& c) { return c.disconnections == 1; }, kReplyTimeout));
  const int fd = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  int exclusive = -1;
  ASSERT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  ::close(fd);
  EXPECT_TRUE(
      emulator->WaitUntil([](const Counters& c) { return c.connections == 2; }, kReplyTimeout));
}

TEST(EmulatorTest, FramesWithAWrongCrcOrForAnotherDeviceGetNoReply) {
  const auto emulator = StartEmulator(SimConfig{});
  ASSERT_NE(emulator->Port(), 0);
  EXPECT_EQ(emulator->Describe(), "listening 127.0.0.1:" + std::to_string(emulator->Port()));
  RawLink link = RawLink::Tcp(emulator->Port());
  Bytes wrongCrc = testing_support::RequestBytes("0001Zx5E2D");
  wrongCrc[wrongCrc.size() - 3] ^= 0x01;
  link.Send(wrongCrc);
  link.SendRequest("0002Zx5E2D");
  link.SendRequest("0001Zv0000");
  // The only reply is to the read-back, sent last.
  EXPECT_EQ(ReplyBody(link.ReadReply(kReplyTimeout)).substr(0, 6), "0001Zv");
  ASSERT_TRUE(emulator->WaitUntil([](const Counters& c) { return c.replies == 1; }, kReplyTimeout));
  const Counters counters = emulator->GetCounters();
  EXPECT_EQ(counters.frames, 3U);
  EXPECT_EQ(counters.badCrc, 1U);
  EXPECT_EQ(counters.otherDevice, 1U);
  EXPECT_EQ(counters.commands, 1U);
  EXPECT_EQ(counters.replies, 1U);
}

TEST(EmulatorTest, RunIsAcknowledgedThenTheDeviceIsSilentUntilItHasRebooted) {
  SimConfig config;
  config.device.rebootSilence = 800ms;
  const auto emulator = StartEmulator(config);
  RawLink link = RawLink::Tcp(emulator->Port());
  link.SendRequest("0001ZrC71A");
  EXPECT_EQ(ReplyBody(link.ReadReply(kReplyTimeout)), "0001Zr");
  ASSERT_TRUE(emulator->WaitUntil([](const Counters& c) { return c.reboots == 1; }, kReplyTimeout));
  const auto replies = emulator->Replies();
  ASSERT_EQ(replies.size(), 1U);
  const auto rebootEnds = replies[0].crWritten + config.device.rebootSilence;

  link.SendRequest("0001Zx5E2D");
  ASSERT_TRUE(emulator->WaitUntil([](const Counters& c) { return c.frames == 2; }, kReplyTimeout));
  // The device itself says whether the handshake came while it rebooted;
  // only a machine too busy to send it within the silence makes it not.
  if (emulator->GetCounters().ignoredRebooting == 1U) {
    EXPECT_TRUE(link.StaysQuiet(100ms));
  } else {
    EXPECT_EQ(link.ReadReply(kReplyTimeout).size(), 29U);
  }

  std::this_thread::sleep_until(rebootEnds + 10ms);  // the known end of the reboot, not a guess
  link.SendRequest("0001Zx5E2D");
  EXPECT_EQ(link.ReadReply(kReplyTimeout).size(), 29U);
}

// Judged by the emulator's own stamps: when the read that brought the
// request's first byte began, and when the write that carried the reply's CR
// began. A busy machine delays both, never the schedule between them.
TEST(EmulatorTest, PacedRepliesTakeTheirWireTimeAndRecordWhenTheirCrWentOut) {
  SimConfig config;
  config.faults.pacing = {.baud = 115200, .bitsPerByte = 11, .requests = true};  // 8E1
  std::mutex mutex;
  std::vector<RequestRecord> requests;
  EmulatorHooks hooks;
  hooks.requestReceived = [&](const RequestRecord& request) {
    const std::lock_guard lock(mutex);
    requests.push_back(request);
  };
  const auto emulator = StartEmulator(config, std::move(hooks));
  RawLink link = RawLink::Tcp(emulator->Port());
  link.SendRequest("0001Zv0000");
  const Bytes reply = link.ReadReply(kReplyTimeout);
  const auto received = std::chrono::steady_clock::now();
  ASSERT_EQ(reply.size(), 1037U);
  ASSERT_TRUE(emulator->WaitUntil([](const Counters& c) { return c.replies == 1; }, kReplyTimeout));

  // 1037 reply bytes of 11 bits at 115200 baud, after the 17-byte request.
  const auto wireTime =
      std::chrono::nanoseconds(std::int64_t{(1037 + 17) * 11} * 1'000'000'000 / 115200);
  const auto replies = emulator->Replies();
  ASSERT_EQ(replies.size(), 1U);
  EXPECT_EQ(replies[0].bytes, 1037U);
  const std::lock_guard lock(mutex);
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_GE(replies[0].crWritten - requests[0].firstByte, wireTime);
  // The CR's write began before the client could read the CR.
  EXPECT_LE(replies[0].crWritten, received);
}

TEST(EmulatorTest, FlashIsSavedWhenStoppedAndCanBeTheNextStart) {
  const TempFolder folder;
  const std::string path = folder / "flash.bin";
  const Bytes data = Pattern(21);
  {
    SimConfig config;
    config.device.flashOut = path;
    const auto emulator = StartEmulator(config);
    RawLink link = RawLink::Tcp(emulator->Port());
    link.SendRequest(WritePayload("0001", 5, data));
    ASSERT_FALSE(link.ReadReply(kReplyTimeout).empty());
    EXPECT_EQ(emulator->Stop(), "");
  }
  const FlashImage saved = LoadFlashFile(path);
  ASSERT_EQ(saved.error, "");
  ASSERT_EQ(saved.bytes.size(), kFlashSize);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), saved.bytes.begin() + 5 * kBlockSize));
  EXPECT_EQ(saved.bytes[0], 0xFF);

  SimConfig again;
  again.device.initialFlash = saved.bytes;
  const auto emulator = StartEmulator(again);
  RawLink link = RawLink::Tcp(emulator->Port());
  link.SendRequest("0001Zv0A00");
  EXPECT_EQ(ReplyBody(link.ReadReply(kReplyTimeout)), "0001Zv" + BlockHex(data));
}

TEST(EmulatorTest, FlashFileLargerThanTheFlashIsRejected) {
  const TempFolder folder;
  const std::string path = folder / "big.bin";
  std::ofstream(path, std::ios::binary) << std::string(kFlashSize + 1, 'x');
  EXPECT_NE(LoadFlashFile(path).error, "");
  EXPECT_NE(LoadFlashFile(path + ".missing").error, "");
}

TEST(EmulatorTest, TcpHangUpClosesTheConnectionAndTheNextOneIsServed) {
  SimConfig config;
  config.faults.hangUpAfterCommands = 2;
  const auto emulator = StartEmulator(config);
  {
    RawLink link = RawLink::Tcp(emulator->Port());
    link.SendRequest("0001Zx5E2D");
    EXPECT_EQ(link.ReadReply(kReplyTimeout).size(), 29U);
    link.SendRequest("0001Zx5E2D");
    EXPECT_EQ(link.ReadReply(kReplyTimeout).size(), 29U) << "the reply goes out before the hang-up";
    EXPECT_TRUE(link.SeesHangUp(kReplyTimeout));
  }
  RawLink next = RawLink::Tcp(emulator->Port());
  next.SendRequest("0001Zx5E2D");
  EXPECT_EQ(next.ReadReply(kReplyTimeout).size(), 29U);
  EXPECT_TRUE(emulator->WaitUntil([](const Counters& c) { return c.hangUps == 1; }, kReplyTimeout));
}

TEST(EmulatorTest, PtyHangUpServesANewTerminalBehindTheLink) {
  const TempFolder folder;
  const std::string linkPath = folder / "ttyQL";
  SimConfig config = PtyConfig(linkPath);
  config.faults.hangUpAfterCommands = 1;
  std::string firstSlave;
  {
    const auto emulator = StartEmulator(config);
    firstSlave = emulator->SlavePath();
    {
      RawLink link = RawLink::Pty(linkPath);
      ASSERT_TRUE(link.Open());
      link.SendRequest("0001Zx5E2D");
      EXPECT_EQ(link.ReadReply(kReplyTimeout).size(), 29U);
      EXPECT_TRUE(link.SeesHangUp(kReplyTimeout));
    }
    ASSERT_TRUE(
        emulator->WaitUntil([](const Counters& c) { return c.hangUps == 1; }, kReplyTimeout));
    const std::string secondSlave = emulator->SlavePath();
    EXPECT_NE(secondSlave, firstSlave);
    char target[PATH_MAX] = {};
    ASSERT_GT(::readlink(linkPath.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), secondSlave);

    RawLink again = RawLink::Pty(linkPath);
    ASSERT_TRUE(again.Open());
    again.SendRequest("0001Zx5E2D");
    EXPECT_EQ(again.ReadReply(kReplyTimeout).size(), 29U);
  }
  struct stat gone {};
  EXPECT_NE(::lstat(linkPath.c_str(), &gone), 0) << "the link is removed when the emulator stops";
}

TEST(EmulatorTest, StopIsPromptWithAConnectionOpenAndALateReplyPending) {
  SimConfig config;
  config.faults.lateReply = {{.when = {}, .delay = 60s}};
  const auto emulator = StartEmulator(config);
  RawLink link = RawLink::Tcp(emulator->Port());
  link.SendRequest("0001Zx5E2D");
  ASSERT_TRUE(
      emulator->WaitUntil([](const Counters& c) { return c.commands == 1; }, kReplyTimeout));
  // The reply is due in a minute; a stop that waited for it would outlast
  // the half minute allowed here, on any machine.
  auto stopped = std::async(std::launch::async, [&emulator] { emulator->Stop(); });
  EXPECT_EQ(stopped.wait_for(30s), std::future_status::ready);
  stopped.wait();
  EXPECT_TRUE(link.SeesHangUp(kReplyTimeout));
}

TEST(EmulatorTest, StartExplainsWhyItCannotServe) {
  const auto busy = StartEmulator(SimConfig{});
  const TempFolder folder;
  const std::string regularFile = folder / "not-a-link";
  std::ofstream(regularFile) << "keep me";

  SimConfig portTaken;
  portTaken.link.port = busy->Port();
  SimConfig fileInTheWay = PtyConfig(regularFile);
  SimConfig longInfo;
  longInfo.device.deviceInfo = "QL480TX-V5-TOO-LONG";
  SimConfig badAddress;
  badAddress.link.address = "localhost";
  for (const SimConfig* config : {&portTaken, &fileInTheWay, &longInfo, &badAddress}) {
    Emulator emulator(*config);
    std::string error;
    EXPECT_FALSE(emulator.Start(error));
    EXPECT_NE(error, "");
  }
  std::ifstream kept(regularFile);
  std::string text;
  std::getline(kept, text);
  EXPECT_EQ(text, "keep me");
}

}  // namespace
}  // namespace ql::sim
