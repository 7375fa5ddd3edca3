// What the emulator puts on a live link for the faults of the line between
// the utility and the device: an echoing adapter, a glitch byte, a stale
// copy of the previous reply, a link latency with one reply held longer,
// and a pause inside a paced reply. Judged by the bytes that arrive and by
// the emulator's own stamps, never by when the bytes arrived.
#include <gtest/gtest.h>

#include "link/frame.h"
#include "sim/emulator.h"
#include "sim_test_util.h"

namespace ql::sim {
namespace {

using namespace std::chrono_literals;
using testing_support::BlockHex;
using testing_support::Bytes;
using testing_support::Pattern;
using testing_support::RawLink;
using testing_support::RequestBytes;
using testing_support::StartEmulator;
using testing_support::WritePayload;

// Only a test that has already failed waits this long.
constexpr auto kTimeout = 30s;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

Bytes ReadBackReply(const Bytes& block) {
  return link::BuildReply("0001Zv" + BlockHex(block));
}

const Bytes kErased(kBlockSize, 0xFF);

// A flash whose first blocks hold distinct patterns, so replies tell their blocks apart.
std::vector<std::uint8_t> PatternedFlash(int blocks) {
  std::vector<std::uint8_t> flash;
  for (int block = 0; block < blocks; ++block) {
    const Bytes data = Pattern(block);
    flash.insert(flash.end(), data.begin(), data.end());
  }
  return flash;
}

std::string ReadBackOf(int block) {
  char payload[16];
  std::snprintf(payload, sizeof payload, "0001Zv%04X", block * kBlockSize);
  return payload;
}

SimConfig On(LinkType type) {
  SimConfig config;
  config.link.type = type;
  return config;
}

RawLink Connect(const Emulator& emulator, LinkType type) {
  return type == LinkType::Tcp ? RawLink::Tcp(emulator.Port()) : RawLink::Pty(emulator.SlavePath());
}

TEST(LineFaultsTest, EchoOfTheSelectedCommandsComesBackAsSentBeforeTheReply) {
  SimConfig config = On(LinkType::Pty);
  config.faults.echoRequest = {{.kind = CommandKind::Verify, .nth = 0}};
  const auto emulator = StartEmulator(config);
  RawLink link = Connect(*emulator, LinkType::Pty);
  ASSERT_TRUE(link.Open());

  link.SendRequest("0001Zx5E2D");
  EXPECT_EQ(link.ReadReply(kTimeout).size(), 29U) << "a handshake is not echoed";
  Bytes broken = RequestBytes("0001Zv0000");
  broken[broken.size() - 2] ^= 0x01;
  link.Send(broken);
  link.SendRequest(ReadBackOf(0));
  EXPECT_EQ(link.ReadReply(kTimeout), Concat({RequestBytes(ReadBackOf(0)), ReadBackReply(kErased)}))
      << "a frame with a wrong CRC is no read-back command to echo";
  EXPECT_EQ(emulator->GetCounters().echoes, 1U);
}

TEST(LineFaultsTest, EchoGoesAheadOfAReplyStillHeldBack) {
  // The echo is the adapter's: a reply the device holds back does not hold
  // it up, and `all` echoes a frame the device ignores as well.
  SimConfig config = On(LinkType::Tcp);
  config.faults.echoRequest = {{}};
  config.faults.lateReply = {{.when = {.kind = CommandKind::Handshake, .nth = 1}, .delay = 60s}};
  const auto emulator = StartEmulator(config);
  RawLink link = Connect(*emulator, LinkType::Tcp);
  const Bytes handshake = RequestBytes("0001Zx5E2D");
  const Bytes otherDevice = RequestBytes("0002Zv0000");
  link.Send(handshake);
  // The device has taken the handshake and holds its reply.
  ASSERT_TRUE(emulator->WaitUntil([](const Counters& c) { return c.commands == 1; }, kTimeout));
  link.Send(otherDevice);
  const Bytes both = Concat({handshake, otherDevice});
  EXPECT_EQ(link.Read(both.size(), kTimeout), both);
  ASSERT_TRUE(emulator->WaitUntil([](const Counters& c) { return c.echoes == 2; }, kTimeout));
  EXPECT_EQ(emulator->GetCounters().replies, 0U) << "the handshake's reply is still held";
}

TEST(LineFaultsTest, GlitchByteAndStaleCopiesOfThePreviousReply) {
  SimConfig config = On(LinkType::Pty);
  config.faults.glitchBefore = {{.kind = CommandKind::Verify, .nth = 1}};
  config.faults.glitchByte = 0xFF;
  config.faults.staleBefore = {{.kind = CommandKind::Verify, .nth = 1}};
  config.faults.staleAfter = {{.kind = CommandKind::Verify, .nth = 2}};
  const auto emulator = StartEmulator(config);
  RawLink link = Connect(*emulator, LinkType::Pty);
  ASSERT_TRUE(link.Open());

  const Bytes data = Pattern(3);
  link.SendRequest(WritePayload("0001", 1, data));
  const Bytes written = link::BuildReply("0001Zp0200");
  EXPECT_EQ(link.ReadReply(kTimeout), written);
  // The glitch, the write's reply again, then the read-back's own.
  link.SendRequest(ReadBackOf(1));
  EXPECT_EQ(link.ReadReply(kTimeout), Concat({{0xFF}, written}));
  EXPECT_EQ(link.ReadReply(kTimeout), ReadBackReply(data));
  // The second read-back's reply, then the first's again.
  link.SendRequest(ReadBackOf(0));
  EXPECT_EQ(link.ReadReply(kTimeout), ReadBackReply(kErased));
  EXPECT_EQ(link.ReadReply(kTimeout), ReadBackReply(data));
  EXPECT_EQ(emulator->GetCounters().replies, 3U);
}

TEST(LineFaultsTest, LatencyDelaysEveryReplyKeepsThemInOrderAndHoldsOneLonger) {
  constexpr auto kLatency = 150ms;
  constexpr auto kHeld = 400ms;
  SimConfig config = On(LinkType::Tcp);
  config.device.initialFlash = PatternedFlash(3);
  config.faults.replyLatency = kLatency;
  config.faults.lateReply = {{.when = {.kind = CommandKind::Verify, .nth = 2}, .delay = kHeld}};
  const auto emulator = StartEmulator(config);
  RawLink link = Connect(*emulator, LinkType::Tcp);
  // The second is held longer, and the third, sent with it, must wait behind it.
  for (int block = 0; block < 3; ++block) {
    link.SendRequest(ReadBackOf(block));
  }
  for (int block = 0; block < 3; ++block) {
    EXPECT_EQ(link.ReadReply(kTimeout), ReadBackReply(Pattern(block))) << "block " << block;
  }
  ASSERT_TRUE(emulator->WaitUntil([](const Counters& c) { return c.replies == 3; }, kTimeout));

  std::vector<SteadyTime> requests;
  for (const TimelineEvent& event : emulator->Timeline()) {
    if (event.kind == TimelineKind::Request) {
      requests.push_back(event.at);
    }
  }
  const std::vector<ReplyRecord> replies = emulator->Replies();
  ASSERT_EQ(requests.size(), 3U);
  ASSERT_EQ(replies.size(), 3U);
  EXPECT_GE(replies[0].firstWritten, requests[0] + kLatency);
  EXPECT_GE(replies[1].firstWritten, requests[1] + kLatency + kHeld);
  EXPECT_GE(replies[2].firstWritten, requests[2] + kLatency);
  EXPECT_GE(replies[2].firstWritten, replies[1].crWritten);
}

TEST(LineFaultsTest, PauseInsideAPacedReplyKeepsTheReplyWhole) {
  constexpr auto kHold = 3ms;
  SimConfig config = On(LinkType::Pty);
  config.faults.pacing = {.baud = 115200, .bitsPerByte = 10, .requests = false};
  config.faults.replyPauses = {
      {.when = {.kind = CommandKind::Verify, .nth = 0}, .hold = kHold, .at = 300}};
  const auto emulator = StartEmulator(config);
  RawLink link = Connect(*emulator, LinkType::Pty);
  ASSERT_TRUE(link.Open());
  link.SendRequest(ReadBackOf(0));
  const Bytes reply = link.ReadReply(kTimeout);
  EXPECT_EQ(reply, ReadBackReply(kErased));
  ASSERT_TRUE(emulator->WaitUntil([](const Counters& c) { return c.replies == 1; }, kTimeout));

  // The CR left no sooner than the line time of the whole reply and the pause.
  const auto lineTime = config.faults.pacing.ByteTime() * static_cast<long>(reply.size());
  const auto timeline = emulator->Timeline();
  const auto request = std::find_if(timeline.begin(), timeline.end(), [](const TimelineEvent& e) {
    return e.kind == TimelineKind::Request;
  });
  ASSERT_NE(request, timeline.end());
  EXPECT_GE(emulator->Replies()[0].crWritten, request->at + lineTime + kHold);
}

}  // namespace
}  // namespace ql::sim
