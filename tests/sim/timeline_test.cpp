// The emulator's timeline over TCP on 127.0.0.1 and over a pseudo-terminal:
// what a test comparing two utilities' timing reads, in order and with the
// moments the device saw, frames it ignored included.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/emulator.h"
#include "sim_test_util.h"

namespace ql::sim {
namespace {

using namespace std::chrono_literals;
using testing_support::Bytes;
using testing_support::RawLink;
using testing_support::RequestBytes;

std::string Describe(const TimelineEvent& event) {
  const char* kinds[] = {"opened", "request", "reply", "closed"};
  std::string text = kinds[static_cast<int>(event.kind)];
  return event.detail.empty() ? text : text + " " + event.detail;
}

class TimelineTest : public ::testing::TestWithParam<LinkType> {};

TEST_P(TimelineTest, RecordsEachFrameReplyAndCloseWhenTheDeviceSawIt) {
  SimConfig config;
  config.link.type = GetParam();
  config.faults.lateReply = {{{CommandKind::Handshake, 2}, 120ms}};
  const auto emulator = testing_support::StartEmulator(config);
  {
    RawLink raw = GetParam() == LinkType::Tcp ? RawLink::Tcp(emulator->Port())
                                              : RawLink::Pty(emulator->SlavePath());
    ASSERT_TRUE(raw.Open());
    ASSERT_TRUE(emulator->WaitUntil([](const Counters& c) { return c.connections == 1; }, 30s));
    raw.SendRequest("0001Zx5E2D");
    EXPECT_FALSE(raw.ReadReply(30s).empty());
    // A frame with a broken CRC is complete all the same, and gets no reply.
    Bytes broken = RequestBytes("0001Zv0200");
    broken[broken.size() - 2] ^= 0x01;
    raw.Send(broken);
    raw.SendRequest("0001Zx5E2D");
    EXPECT_FALSE(raw.ReadReply(30s).empty());
  }
  ASSERT_TRUE(emulator->WaitUntil([](const Counters& c) { return c.disconnections == 1; }, 30s));

  const std::vector<TimelineEvent> timeline = emulator->Timeline();
  std::vector<std::string> events;
  for (const auto& event : timeline) {
    events.push_back(Describe(event));
  }
  EXPECT_EQ(events, (std::vector<std::string>{"opened", "request 0001Zx5E2D", "reply handshake",
                                              "request 0001Zv0200", "request 0001Zx5E2D",
                                              "reply handshake", "closed"}));
  ASSERT_EQ(timeline.size(), 7U);
  for (std::size_t i = 1; i < timeline.size(); ++i) {
    EXPECT_LE(timeline[i - 1].at, timeline[i].at) << events[i];
  }
  // The late reply is stamped when it went out, not when it was asked for.
  EXPECT_GE(timeline[5].at - timeline[4].at, 120ms);
  // The same moment as the reply record's.
  const std::vector<ReplyRecord> replies = emulator->Replies();
  ASSERT_EQ(replies.size(), 2U);
  EXPECT_EQ(replies[1].crWritten, timeline[5].at);
}

// The gap a utility leaves between a reply and its next request is read from
// these records: a request is stamped when its first byte came in, even when
// the rest follows much later.
TEST_P(TimelineTest, StampsEachRequestWithTheReadOfItsFirstByte) {
  std::mutex mutex;
  std::vector<RequestRecord> requests;
  EmulatorHooks hooks;
  hooks.requestReceived = [&](const RequestRecord& request) {
    const std::lock_guard lock(mutex);
    requests.push_back(request);
  };
  SimConfig config;
  config.link.type = GetParam();
  const auto emulator = testing_support::StartEmulator(config, std::move(hooks));
  RawLink raw = GetParam() == LinkType::Tcp ? RawLink::Tcp(emulator->Port())
                                            : RawLink::Pty(emulator->SlavePath());
  ASSERT_TRUE(raw.Open());
  ASSERT_TRUE(emulator->WaitUntil([](const Counters& c) { return c.connections == 1; }, 30s));

  raw.SendRequest("0001Zx5E2D");
  EXPECT_FALSE(raw.ReadReply(30s).empty());
  Bytes broken = RequestBytes("0001Zv0200");
  broken[broken.size() - 2] ^= 0x01;
  raw.Send(broken);
  // Bytes outside a frame do not start one.
  raw.Send({'x', '\r'});
  const Bytes split = RequestBytes("0001Zv0400");
  const auto firstHalfSent = std::chrono::steady_clock::now();
  raw.Send(Bytes(split.begin(), split.begin() + 4));
  ASSERT_TRUE(emulator->WaitUntil([](const Counters& c) { return c.frames == 2; }, 30s));
  // Long enough that a stamp taken at the frame's end could not pass for one
  // taken at its start.
  std::this_thread::sleep_for(100ms);
  const auto secondHalfSent = std::chrono::steady_clock::now();
  raw.Send(Bytes(split.begin() + 4, split.end()));
  EXPECT_FALSE(raw.ReadReply(30s).empty());
  ASSERT_TRUE(emulator->WaitUntil([](const Counters& c) { return c.replies == 2; }, 30s));

  const std::lock_guard lock(mutex);
  ASSERT_EQ(requests.size(), 3U);
  for (std::size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].number, i + 1);
  }
  const std::vector<ReplyRecord> replies = emulator->Replies();
  ASSERT_EQ(replies.size(), 2U);
  EXPECT_LT(requests[0].firstByte, replies[0].crWritten);
  EXPECT_GT(requests[1].firstByte, replies[0].crWritten);
  EXPECT_GE(requests[2].firstByte, firstHalfSent);
  EXPECT_LT(requests[2].firstByte, secondHalfSent);
  EXPECT_GE(replies[1].crWritten, secondHalfSent);
}

INSTANTIATE_TEST_SUITE_P(BothLinks, TimelineTest, ::testing::Values(LinkType::Tcp, LinkType::Pty),
                         [](const auto& info) {
                           return info.param == LinkType::Tcp ? "Tcp" : "Pty";
                         });

}  // namespace
}  // namespace ql::sim
