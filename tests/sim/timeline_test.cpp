// The emulator's timeline over TCP on 127.0.0.1 and over a pseudo-terminal:
// what a test comparing two utilities' timing reads, in order and with the
// moments the device saw, frames it ignored included.
#include <gtest/gtest.h>

#include <string>
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
    ASSERT_TRUE(emulator->WaitUntil([](const Counters& c) { return c.connections == 1; }, 2s));
    raw.SendRequest("0001Zx5E2D");
    EXPECT_FALSE(raw.ReadReply(1s).empty());
    // A frame with a broken CRC is complete all the same, and gets no reply.
    Bytes broken = RequestBytes("0001Zv0200");
    broken[broken.size() - 2] ^= 0x01;
    raw.Send(broken);
    raw.SendRequest("0001Zx5E2D");
    EXPECT_FALSE(raw.ReadReply(1s).empty());
  }
  ASSERT_TRUE(emulator->WaitUntil([](const Counters& c) { return c.disconnections == 1; }, 2s));

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

INSTANTIATE_TEST_SUITE_P(BothLinks, TimelineTest, ::testing::Values(LinkType::Tcp, LinkType::Pty),
                         [](const auto& info) {
                           return info.param == LinkType::Tcp ? "Tcp" : "Pty";
                         });

}  // namespace
}  // namespace ql::sim
