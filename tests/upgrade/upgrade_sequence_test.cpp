// The upgrade sequence on the virtual clock: every block written and read
// back in order, each failure stopping where it must, and "Upgrade ok." only
// for a device that holds the image.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "harness.h"
#include "link/exchange_observer.h"
#include "text/message_table.h"
#include "upgrade/device_commands.h"

namespace ql::testing_support {
namespace {

namespace msg = text::msg;

using upgrade::UpgradeResult;
using upgrade::UpgradeSequence;

class UpgradeSequenceTest : public ::testing::Test {
 protected:
  // A connected device with an image of `blocks` blocks loaded.
  void Load(int blocks) {
    h_.state.deviceFamily = "02200001";
    h_.state.link.linkKind = link::LinkKind::Tcp;
    h_.state.blockTable.Reset();
    const auto image = PatternImage(static_cast<std::size_t>(blocks) * 512);
    for (int b = 0; b < blocks; ++b) {
      std::copy_n(image.begin() + b * 512, 512, h_.state.blockTable.Row(b).begin());
    }
    h_.state.blockCount = blocks;
  }

  UpgradeResult Run() { return UpgradeSequence("0001", h_.state, h_.env); }

  // Whether the device's flash holds the loaded image.
  bool DeviceHoldsImage() const {
    for (int b = 0; b < h_.state.blockCount; ++b) {
      const auto block = h_.state.blockTable.Block(b);
      if (!std::equal(block.begin(), block.end(), h_.device.flash.begin() + b * 512)) {
        return false;
      }
    }
    return true;
  }

  std::vector<std::string> Messages() const { return Matching(h_.log, "msg"); }

  Harness h_;
};

TEST_F(UpgradeSequenceTest, WritesVerifiesAndRunsTheImage) {
  Load(3);
  const std::uint32_t start = h_.clock.NowMs();
  EXPECT_EQ(Run(), UpgradeResult::UpgradeOk);
  EXPECT_TRUE(DeviceHoldsImage());

  EXPECT_EQ(Messages(), (std::vector<std::string>{Msg(msg::kProgramming), Msg(msg::kProgramOk),
                                                  Msg(msg::kVerifying), Msg(msg::kVerifyOk),
                                                  Msg(msg::kUpgrading), Msg(msg::kUpgradeOk)}));
  EXPECT_EQ(Matching(h_.log, "send"),
            (std::vector<std::string>{"send 0001Zx5E2D", "send 0001Zp0000", "send 0001Zp0200",
                                      "send 0001Zp0400", "send 0001Zx5E2D", "send 0001Zv0000",
                                      "send 0001Zv0200", "send 0001Zv0400", "send 0001ZrC71A"}));
  // The pauses the device sees, in order: before each handshake, after it,
  // before each block, the short tone, before the run command, the seven
  // seconds counted down, and the closing tone before the link closes.
  EXPECT_TRUE(InOrder(h_.log, {"open",
                               "sleep 100",
                               "send 0001Zx5E2D",
                               "sleep 50",
                               "sleep 4",
                               "send 0001Zp0000",
                               "sleep 4",
                               "send 0001Zp0200",
                               "end program ok",
                               "tone 1000 100",
                               "sleep 100",
                               "sleep 100",
                               "send 0001Zx5E2D",
                               "sleep 50",
                               "sleep 4",
                               "send 0001Zv0000",
                               "sleep 50",
                               "end verify ok",
                               "send 0001ZrC71A",
                               "run sent 7000",
                               "run wait 7",
                               "sleep 1000",
                               "run wait 1",
                               "sleep 1000",
                               "end run ok",
                               "tone 1000 300",
                               "sleep 300",
                               "close",
                               "finish done"}));
  EXPECT_EQ(Matching(h_.log, "run wait").size(), 7u);
  EXPECT_EQ(h_.events.finish->holds.flash, upgrade::Flash::Running);
  EXPECT_EQ(h_.closes, 1);
  // Pauses, tones and short replies: at least the pauses, the 7 s wait, the
  // two tones and the quiet window after the last read-back, and well under
  // 8.1 seconds.
  const std::uint32_t took = h_.clock.NowMs() - start;
  EXPECT_GT(took, 7000u + 100 + 50 + 100 + 50 + 300 + 6 * 4 + 100 + 300);
  EXPECT_LT(took, 8100u);
}

TEST_F(UpgradeSequenceTest, NoBlocksStillHandshakesTwiceAndRuns) {
  Load(0);
  EXPECT_EQ(Run(), UpgradeResult::UpgradeOk);
  EXPECT_EQ(Matching(h_.log, "send"),
            (std::vector<std::string>{"send 0001Zx5E2D", "send 0001Zx5E2D", "send 0001ZrC71A"}));
  EXPECT_TRUE(InOrder(h_.log, {"blocks program 0", "end program ok", "blocks verify 0",
                               "end verify ok", Msg(msg::kUpgradeOk)}));
}

TEST_F(UpgradeSequenceTest, FullImageAddressesEndAtF600) {
  Load(124);
  EXPECT_EQ(Run(), UpgradeResult::UpgradeOk);
  EXPECT_TRUE(DeviceHoldsImage());
  EXPECT_EQ(h_.device.writes, 124);
  EXPECT_EQ(h_.device.readBacks, 124);
  EXPECT_TRUE(InOrder(h_.log, {"send 0001ZvF600", "block verify 123", "end verify ok"}));
}

TEST_F(UpgradeSequenceTest, BlockAcceptedOnItsFifthTryDoesNotFailThePhase) {
  Load(3);
  h_.device.writeFailures = {{1, 4}};
  EXPECT_EQ(Run(), UpgradeResult::UpgradeOk);
  EXPECT_EQ(h_.device.writeTries[1], 5);
  EXPECT_EQ(h_.device.writeTries[2], 1);
  // Four failed tries of block 1, each followed by 50 ms; block 2 starts afresh.
  EXPECT_TRUE(InOrder(h_.log, {"block program 0", "sleep 4", "send 0001Zp0200", "sleep 50",
                               "send 0001Zp0200", "sleep 50", "send 0001Zp0200", "sleep 50",
                               "send 0001Zp0200", "sleep 50", "send 0001Zp0200", "block program 1",
                               "sleep 4", "send 0001Zp0400", "block program 2"}));
}

TEST_F(UpgradeSequenceTest, BlockRefusedFiveTimesStopsBeforeVerification) {
  Load(4);
  h_.device.writeFailures = {{2, 5}};
  EXPECT_EQ(Run(), UpgradeResult::ProgramFailed);
  EXPECT_EQ(h_.device.writeTries[2], 5);
  EXPECT_EQ(h_.device.writeTries.count(3), 0u);
  EXPECT_EQ(h_.device.readBacks, 0);
  EXPECT_EQ(h_.device.runs, 0);
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{Msg(msg::kProgramming), Msg(msg::kProgramError)}));
  // The link is closed at once, then the failure is told and its tone
  // sounds.
  EXPECT_TRUE(InOrder(
      h_.log, {"block program 1", "close", "end program no reply block 2 tries 5 done 2",
               Msg(msg::kProgramError), "tone 300 300", "sleep 300", "finish phase failed"}));
  EXPECT_EQ(h_.events.finish->holds.flash, upgrade::Flash::Partial);
  EXPECT_EQ(h_.events.finish->holds.block, 2);
  EXPECT_TRUE(Matching(h_.log, "phase verify").empty());
}

TEST_F(UpgradeSequenceTest, HandshakeRefusedBeforeProgrammingWritesNothing) {
  Load(2);
  h_.device.silentHandshakes = {0};
  EXPECT_EQ(Run(), UpgradeResult::ProgramFailed);
  EXPECT_EQ(h_.device.handshakes, 1);  // no second try
  EXPECT_EQ(h_.device.writes, 0);
  EXPECT_TRUE(Matching(h_.log, "blocks program").empty());
  EXPECT_EQ(Matching(h_.log, "end program"),
            std::vector<std::string>{"end program no reply block -1 tries 1 done 0"});
  EXPECT_EQ(h_.events.finish->holds.flash, upgrade::Flash::AsBefore);
}

TEST_F(UpgradeSequenceTest, DeviceNeverAnsweringWritesFailsAfterFiveTriesOfBlockZero) {
  Load(2);
  h_.device.writeFailures = {{0, 100}};
  const std::uint32_t start = h_.clock.NowMs();
  EXPECT_EQ(Run(), UpgradeResult::ProgramFailed);
  EXPECT_EQ(h_.device.writeTries[0], 5);
  EXPECT_EQ(h_.device.writeTries.count(1), 0u);
  // 4 ms, then five reply windows each followed by 50 ms, then the tone.
  const std::uint32_t took = h_.clock.NowMs() - start;
  EXPECT_GE(took, 100u + 50 + 4 + 5 * (301 + 50) + 300);
  EXPECT_LE(took, 100u + 50 + 4 + 5 * (301 + 50) + 300 + 20);
}

TEST_F(UpgradeSequenceTest, ReadBackThatDiffersStopsVerificationAndTheRun) {
  Load(4);
  h_.device.wrongReadBacks = {1};
  EXPECT_EQ(Run(), UpgradeResult::VerifyFailed);
  EXPECT_EQ(h_.device.readBacks, 2);
  EXPECT_EQ(h_.device.runs, 0);
  EXPECT_EQ(Messages(), (std::vector<std::string>{Msg(msg::kProgramming), Msg(msg::kProgramOk),
                                                  Msg(msg::kVerifying), Msg(msg::kVerifyError)}));
  // The tone comes before the link closes.
  EXPECT_TRUE(InOrder(h_.log, {"block verify 0", "end verify data differs block 1 tries 0 done 1",
                               Msg(msg::kVerifyError), "tone 300 300", "sleep 300", "close",
                               "finish phase failed"}));
  EXPECT_TRUE(Matching(h_.log, "run").empty());
  EXPECT_EQ(h_.events.finish->holds.flash, upgrade::Flash::Differs);
  EXPECT_EQ(h_.events.finish->holds.block, 1);
}

TEST_F(UpgradeSequenceTest, LowercaseReadBackIsAMismatch) {
  Load(1);
  h_.device.lowercaseReadBack = true;
  EXPECT_EQ(Run(), UpgradeResult::VerifyFailed);
  EXPECT_EQ(h_.device.runs, 0);
}

TEST_F(UpgradeSequenceTest, HandshakeRefusedBeforeVerification) {
  Load(2);
  h_.device.silentHandshakes = {1};
  EXPECT_EQ(Run(), UpgradeResult::VerifyFailed);
  EXPECT_EQ(h_.device.readBacks, 0);
  EXPECT_TRUE(Matching(h_.log, "blocks verify").empty());
  EXPECT_EQ(h_.device.runs, 0);
  EXPECT_EQ(h_.events.finish->holds.flash, upgrade::Flash::WholeImage);
}

TEST_F(UpgradeSequenceTest, LinkThatDoesNotOpenSendsNothing) {
  Load(2);
  h_.openFails = true;
  EXPECT_EQ(Run(), UpgradeResult::LinkNotOpened);
  EXPECT_TRUE(Matching(h_.log, "send").empty());
  EXPECT_TRUE(Matching(h_.log, "phase").empty());
  EXPECT_TRUE(InOrder(h_.log, {"open failed", Msg(msg::kOpenPortError), "tone 300 300", "sleep 300",
                               "finish link not opened"}));
}

TEST_F(UpgradeSequenceTest, DeviceThatNeverHandshookIsNeverProgrammed) {
  Load(2);
  h_.state.deviceFamily.clear();
  EXPECT_EQ(Run(), UpgradeResult::ProgramFailed);
  EXPECT_TRUE(Matching(h_.log, "send").empty());
}

TEST_F(UpgradeSequenceTest, LateWriteReplyShiftsLaterWriteRepliesButVerificationStartsInStep) {
  Load(3);
  h_.device.lateWrites = {1};  // the reply to block 1 comes after its window
  EXPECT_EQ(Run(), UpgradeResult::UpgradeOk);
  // Block 1 is sent twice: the second try reads the late reply of the first,
  // and each later write reads the reply meant for the one before it.
  EXPECT_EQ(h_.device.writeTries[1], 2);
  EXPECT_TRUE(DeviceHoldsImage());
  // The reply owed to the last write is waiting when verification starts: it
  // is let pass before the handshake, so every read-back takes its own reply.
  EXPECT_EQ(h_.device.readBacks, 3);
  EXPECT_EQ(h_.device.runs, 1);
}

TEST_F(UpgradeSequenceTest, RunAgainRepeatsEveryPhase) {
  Load(2);
  ASSERT_EQ(Run(), UpgradeResult::UpgradeOk);
  h_.device.flash.assign(h_.device.flash.size(), 0xFF);
  EXPECT_EQ(Run(), UpgradeResult::UpgradeOk);
  EXPECT_TRUE(DeviceHoldsImage());
  EXPECT_EQ(h_.device.runs, 2);
  EXPECT_EQ(h_.opens, 2);
}

// An image of `blocks` blocks whose blocks from `blankFrom` on are all 0xFF,
// as the tail of most images is.
void LoadWithBlankTail(Harness& h, int blocks, int blankFrom) {
  h.state.deviceFamily = "02200001";
  h.state.blockTable.Reset();
  const auto image = PatternImage(static_cast<std::size_t>(blankFrom) * 512);
  for (int b = 0; b < blankFrom; ++b) {
    std::copy_n(image.begin() + b * 512, 512, h.state.blockTable.Row(b).begin());
  }
  h.state.blockCount = blocks;
}

bool FlashHolds(const Harness& h) {
  for (int b = 0; b < h.state.blockCount; ++b) {
    const auto block = h.state.blockTable.Block(b);
    if (!std::equal(block.begin(), block.end(), h.device.flash.begin() + b * 512)) {
      return false;
    }
  }
  return true;
}

TEST_F(UpgradeSequenceTest, LateReadBackThatShiftsRepliesCannotHideACorruptBlock) {
  // Block 2's first read-back is answered late; from then on every block is
  // compared with the reply meant for the block before it. Blocks 2 to 5 are
  // identical, so those comparisons pass, and block 5, which the device holds
  // corrupted, is never really read.
  LoadWithBlankTail(h_, 6, 2);
  h_.device.lateReadBacks = {2};
  h_.device.corruptStored = {5};
  EXPECT_EQ(Run(), UpgradeResult::VerifyFailed);
  EXPECT_FALSE(FlashHolds(h_));
  EXPECT_EQ(h_.device.runs, 0);
  EXPECT_EQ(Messages().back(), Msg(msg::kVerifyError));
}

TEST_F(UpgradeSequenceTest, LateReadBackIsReadAgainOnceTheLinkIsBackInStep) {
  // Block 2's first read-back is answered late; its second try takes that
  // late reply, and the second try's own reply is still to come. The link is
  // let fall quiet and block 2 read again before block 3 is asked for.
  for (const int blankFrom : {2, 6}) {
    Harness h;
    LoadWithBlankTail(h, 6, blankFrom);
    h.device.lateReadBacks = {2};
    EXPECT_EQ(UpgradeSequence("0001", h.state, h.env), UpgradeResult::UpgradeOk) << blankFrom;
    EXPECT_TRUE(FlashHolds(h));
    EXPECT_EQ(h.device.runs, 1);
    EXPECT_EQ(Matching(h.log, "send 0001Zv0400").size(), 3u) << "two tries, then once in step";
    EXPECT_EQ(Matching(h.log, "send 0001Zv").size(), 8u);
    // Each block is told done once, also the one read again.
    EXPECT_EQ(Matching(h.log, "block verify"),
              (std::vector<std::string>{"block verify 0", "block verify 1", "block verify 2",
                                        "block verify 3", "block verify 4", "block verify 5"}));
  }
}

TEST_F(UpgradeSequenceTest, LateReadBackOfTheLastBlockIsReadAgainBeforeTheRun) {
  LoadWithBlankTail(h_, 4, 2);
  h_.device.lateReadBacks = {3};
  const std::uint32_t start = h_.clock.NowMs();
  EXPECT_EQ(Run(), UpgradeResult::UpgradeOk);
  EXPECT_TRUE(FlashHolds(h_));
  EXPECT_EQ(Matching(h_.log, "send 0001Zv0600").size(), 3u);
  // Two tries, a quiet window and one more read: about 0.7 s more than a
  // clean run, tones and the last quiet window included.
  EXPECT_LT(h_.clock.NowMs() - start, 8900u);
}

// The invariant: whichever single thing goes wrong, "Upgrade ok." is shown
// only when the device holds every block of the image.
TEST_F(UpgradeSequenceTest, UpgradeOkOnlyWhenTheDeviceHoldsTheImage) {
  struct Fault {
    const char* name;
    std::function<void(FakeDevice&)> apply;
  };
  const std::vector<Fault> faults = {
      {"none", [](FakeDevice&) {}},
      {"write refused 5x",
       [](FakeDevice& d) {
         d.writeFailures = {{3, 5}};
       }},
      {"write refused 4x",
       [](FakeDevice& d) {
         d.writeFailures = {{3, 4}};
       }},
      {"late write",
       [](FakeDevice& d) {
         d.lateWrites = {0, 2};
       }},
      {"read-back differs", [](FakeDevice& d) { d.wrongReadBacks = {4}; }},
      {"lowercase read-back", [](FakeDevice& d) { d.lowercaseReadBack = true; }},
      {"silent first handshake", [](FakeDevice& d) { d.silentHandshakes = {0}; }},
      {"silent second handshake", [](FakeDevice& d) { d.silentHandshakes = {1}; }},
      {"other device id", [](FakeDevice& d) { d.deviceId = "0002"; }},
      {"corrupt stored block", [](FakeDevice& d) { d.corruptStored = {4}; }},
      {"late read-back", [](FakeDevice& d) { d.lateReadBacks = {2}; }},
      {"late read-back, corrupt last block",
       [](FakeDevice& d) {
         d.lateReadBacks = {2};
         d.corruptStored = {4};
       }},
  };
  for (const auto& fault : faults) {
    Harness h;
    h.state.deviceFamily = "02200001";
    const auto image = PatternImage(5 * 512);
    for (int b = 0; b < 5; ++b) {
      std::copy_n(image.begin() + b * 512, 512, h.state.blockTable.Row(b).begin());
    }
    h.state.blockCount = 5;
    fault.apply(h.device);
    const auto result = UpgradeSequence("0001", h.state, h.env);
    const bool holds = std::equal(image.begin(), image.end(), h.device.flash.begin());
    const bool shownOk = !Matching(h.log, Msg(msg::kUpgradeOk)).empty();
    EXPECT_EQ(shownOk, result == UpgradeResult::UpgradeOk) << fault.name;
    if (shownOk) {
      EXPECT_TRUE(holds) << fault.name;
    }
  }
}

// The device waits through every tone, on every road: each one is followed
// at once by a pause of its length on the procedure's clock.
TEST_F(UpgradeSequenceTest, EveryRoadPausesForItsTones) {
  const struct {
    const char* name;
    std::function<void(Harness&)> set;
    UpgradeResult expected;
    std::size_t tones;
  } roads[] = {
      {"ok", [](Harness&) {}, UpgradeResult::UpgradeOk, 2},
      {"not opened", [](Harness& h) { h.openFails = true; }, UpgradeResult::LinkNotOpened, 1},
      {"write refused",
       [](Harness& h) {
         h.device.writeFailures = {{1, 5}};
       },
       UpgradeResult::ProgramFailed, 1},
      {"read-back differs", [](Harness& h) { h.device.wrongReadBacks = {1}; },
       UpgradeResult::VerifyFailed, 2},
  };
  for (const auto& road : roads) {
    Harness h;
    LoadWithBlankTail(h, 3, 3);
    road.set(h);
    EXPECT_EQ(UpgradeSequence("0001", h.state, h.env), road.expected) << road.name;
    EXPECT_EQ(Matching(h.log, "tone").size(), road.tones) << road.name;
    EXPECT_TRUE(TonesWithoutTheirPause(h.log).empty()) << road.name;
  }
}

// Whatever a front end does with a reply before the next pause (updating
// its bars, writing a status row) takes this long on the virtual clock.
class SlowFrontEnd final : public link::ExchangeObserver {
 public:
  SlowFrontEnd(VirtualClock& clock, std::uint32_t ms) : clock_(clock), ms_(ms) {}
  void FrameSent(std::span<const std::uint8_t>) override {}
  void BytesReceived(std::span<const std::uint8_t>) override {}
  void ExchangeEnded(link::ExchangeVerdict, const link::ExchangeNotes&) override {
    clock_.Advance(ms_);
  }
  void LinkResynced(std::span<const std::uint8_t>, bool) override {}

 private:
  VirtualClock& clock_;
  std::uint32_t ms_;
};

// The device sees 4 ms between a block's reply and the next request however
// long the front end takes in between: the pause counts from the reply.
TEST_F(UpgradeSequenceTest, ThePauseBeforeABlockCountsFromThePreviousReply) {
  for (const std::uint32_t frontEndMs : {0U, 3U, 6U}) {
    Harness h;
    LoadWithBlankTail(h, 4, 4);
    SlowFrontEnd slow(h.clock, frontEndMs);
    h.env.observer = &slow;
    std::vector<std::pair<std::string, std::uint64_t>> commands;
    h.device.onCommand = [&](const std::string& payload) {
      commands.emplace_back(payload.substr(4, 2), h.clock.NowUs());
    };
    ASSERT_EQ(UpgradeSequence("0001", h.state, h.env), UpgradeResult::UpgradeOk) << frontEndMs;
    std::vector<std::uint64_t> blockGapsUs;
    for (std::size_t i = 1; i < commands.size(); ++i) {
      const bool block = commands[i].first == "Zp" || commands[i].first == "Zv";
      if (block && commands[i - 1].first == commands[i].first) {
        blockGapsUs.push_back(commands[i].second - commands[i - 1].second);
      }
    }
    // Three gaps in each phase: the reply comes 2 ms after its request, the
    // pause of 4 ms after that; a front end slower than the pause itself
    // takes its own time.
    const std::uint64_t expectedUs = (2 + std::max(4U, frontEndMs)) * 1000;
    EXPECT_EQ(blockGapsUs, std::vector<std::uint64_t>(6, expectedUs)) << frontEndMs;
  }
}

}  // namespace
}  // namespace ql::testing_support
