// The quiet look for a device of the automatic mode, on the virtual clock:
// exactly one handshake on a freshly opened link that is closed again, and
// nothing shown or sounded whatever the device answers.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "harness.h"

namespace ql::testing_support {
namespace {

using upgrade::PollResult;

TEST(PollDevice, OneHandshakeCountsOnlyWithTheTwentyNineByteReply) {
  struct Case {
    const char* name;
    std::function<void(Harness&)> arrange;
    PollResult expected;
  };
  const Case cases[] = {
      {"answers", [](Harness&) {}, PollResult::Answered},
      {"silent", [](Harness& h) { h.device.silentHandshakes = {0}; }, PollResult::NoAnswer},
      {"30-byte reply", [](Harness& h) { h.device.handshakeBodyExtra = 1; }, PollResult::NoAnswer},
      {"28-byte reply", [](Harness& h) { h.device.handshakeBodyExtra = -1; }, PollResult::NoAnswer},
      {"answers after the window", [](Harness& h) { h.device.lateHandshakes = {0}; },
       PollResult::NoAnswer},
      {"another device ID", [](Harness& h) { h.device.deviceId = "0002"; }, PollResult::NoAnswer},
      {"link cannot be opened", [](Harness& h) { h.openFails = true; }, PollResult::LinkNotOpened},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    c.arrange(h);
    h.device.info = "QL480TX-V5 7    ";
    link::LinkSettings link;
    link.linkKind = link::LinkKind::Tcp;
    link.netIp = "127.0.0.1";
    link.netPort = "5003";
    std::string info = "untouched";
    const std::uint32_t start = h.clock.NowMs();

    EXPECT_EQ(upgrade::PollDevice("0001", link, h.env.openLink, h.logClock, nullptr, info),
              c.expected);

    ASSERT_EQ(h.openedWith.size(), 1u);
    EXPECT_EQ(h.openedWith[0].netPort, "5003");
    if (c.expected == PollResult::LinkNotOpened) {
      EXPECT_EQ(h.log, (EventLog{"open failed"}));
      EXPECT_EQ(h.clock.NowMs(), start) << "no pause without a link";
    } else {
      // No message, indicator, tone or pump: only the link's own traffic.
      EXPECT_EQ(h.log, (EventLog{"open", "sleep 100", "send 0001Zx5E2D", "close"}));
      // The pause, then at most one reply window.
      EXPECT_LE(h.clock.NowMs() - start, 100u + 300u + 5u);
    }
    EXPECT_EQ(info, c.expected == PollResult::Answered ? "QL480TX-V5 7    " : "untouched");
    EXPECT_EQ(h.closes, h.opens);
  }
}

// A station looks again after waiting elsewhere (not on this clock): every
// look still pauses its whole 100 ms between the open and the handshake.
TEST(PollDevice, EveryLookPausesWholeAfterTheOpenHoweverLongAgoTheLastOne) {
  Harness h;
  link::LinkSettings link;
  link.linkKind = link::LinkKind::Tcp;
  std::vector<std::uint64_t> handshakeAfterOpenUs;
  std::uint64_t openedAt = 0;
  auto opener = [&h, &openedAt](const link::LinkSettings& settings, std::string& why) {
    openedAt = h.clock.NowUs();
    return h.env.openLink(settings, why);
  };
  h.device.onCommand = [&](const std::string&) {
    handshakeAfterOpenUs.push_back(h.clock.NowUs() - openedAt);
  };
  std::string info;
  for (int look = 0; look < 3; ++look) {
    EXPECT_EQ(upgrade::PollDevice("0001", link, opener, h.logClock, nullptr, info),
              PollResult::Answered);
    h.clock.Advance(500);  // the station's wait between looks
  }
  EXPECT_EQ(handshakeAfterOpenUs, (std::vector<std::uint64_t>(3, 100'000)));
}

}  // namespace
}  // namespace ql::testing_support
