// Stopping a procedure on request at an exchange boundary, what a procedure
// tells about where it ended and what the device holds, the check of a
// device's flash without writing, and reading a device's whole flash back;
// on the virtual clock.
#include <gtest/gtest.h>

#include <atomic>

#include "harness.h"
#include "link/frame.h"
#include "text/message_table.h"
#include "upgrade/device_commands.h"

namespace ql::testing_support {
namespace {

namespace msg = text::msg;
using upgrade::ConnectResult;
using upgrade::Flash;
using upgrade::Phase;
using upgrade::PhaseFailure;
using upgrade::ReadBackResult;
using upgrade::UpgradeResult;

class StopAndReadBackTest : public ::testing::Test {
 protected:
  StopAndReadBackTest() { h_.env.stopRequested = &stop_; }

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

  // Asks for a stop as the device receives the command beginning with `prefix`.
  void StopOn(const std::string& prefix) {
    h_.device.onCommand = [this, prefix](const std::string& payload) {
      if (payload.rfind(prefix, 0) == 0) {
        stop_ = true;
      }
    };
  }

  std::vector<std::string> Sent() const { return Matching(h_.log, "send"); }
  const upgrade::PhaseEnd& LastPhase() const { return h_.events.phases.back(); }

  Harness h_;
  std::atomic<bool> stop_{false};
};

TEST_F(StopAndReadBackTest, StopDuringProgrammingEndsAfterTheBlockInHand) {
  Load(5);
  StopOn("0001Zp0400");  // block 2
  EXPECT_EQ(upgrade::UpgradeSequence("0001", h_.state, h_.env), UpgradeResult::Interrupted);
  // The write of block 2 had been sent: its exchange ran to its end, and
  // nothing was sent after it.
  EXPECT_EQ(Sent().back(), "send 0001Zp0400");
  EXPECT_EQ(h_.device.runs, 0);
  EXPECT_EQ(h_.closes, 1);
  EXPECT_EQ(LastPhase().phase, Phase::Program);
  EXPECT_EQ(LastPhase().failure, PhaseFailure::Stopped);
  EXPECT_EQ(LastPhase().blocksDone, 3);
  EXPECT_TRUE(Matching(h_.log, "run").empty());
  // No error, no tone: the front end says what the device holds.
  EXPECT_EQ(Matching(h_.log, "msg"), std::vector<std::string>{Msg(msg::kProgramming)});
  EXPECT_TRUE(Matching(h_.log, "tone").empty());
  EXPECT_EQ(h_.log.back(), "finish stopped");
  EXPECT_EQ(h_.events.finish->holds.flash, Flash::Partial);
  EXPECT_EQ(h_.events.finish->holds.block, 3);
}

TEST_F(StopAndReadBackTest, StopDuringVerificationOrBeforeTheRunSendsNoRunCommand) {
  // During the read-back of block 1, and of the last block: then every
  // block has compared equal, and the stop comes before the run command.
  const std::pair<const char*, Flash> cases[] = {{"0001Zv0200", Flash::WholeImage},
                                                 {"0001Zv0800", Flash::Verified}};
  for (const auto& [at, holds] : cases) {
    Harness h;
    std::atomic<bool> stop{false};
    h.env.stopRequested = &stop;
    h.state.deviceFamily = "02200001";
    h.state.blockCount = 5;
    h.device.onCommand = [&stop, at](const std::string& payload) {
      stop = stop || payload.rfind(at, 0) == 0;
    };
    EXPECT_EQ(upgrade::UpgradeSequence("0001", h.state, h.env), UpgradeResult::Interrupted) << at;
    EXPECT_EQ(h.device.runs, 0) << at;
    EXPECT_EQ(h.events.phases.back().phase, Phase::Verify) << at;
    EXPECT_EQ(h.events.finish->holds.flash, holds) << at;
    EXPECT_EQ(Matching(h.log, "send").back(), std::string("send ") + at);
    EXPECT_EQ(h.closes, 1);
  }
}

TEST_F(StopAndReadBackTest, StopDuringTheHandshakesOfAConnect) {
  h_.device.silentHandshakes = {0, 1, 2};
  StopOn("0001Zx5E2D");
  upgrade::ConnectInputs inputs;
  inputs.link.linkKind = link::LinkKind::Tcp;
  EXPECT_EQ(upgrade::ConnectProcedure(inputs, h_.state, h_.env), ConnectResult::Interrupted);
  EXPECT_EQ(Sent().size(), 1u) << "no second attempt";
  EXPECT_TRUE(Matching(h_.log, Msg(msg::kConnectError)).empty());
  EXPECT_EQ(h_.log.back(), "finish stopped");
  EXPECT_EQ(h_.closes, 1);
  EXPECT_TRUE(h_.state.deviceFamily.empty());
}

// A stop during the wait after the run command ends the wait at once; the
// device was told to run, and nothing follows but the close.
TEST_F(StopAndReadBackTest, StopDuringTheWaitForTheDeviceCutsItShort) {
  Load(2);
  h_.device.onCommand = [this](const std::string& payload) {
    stop_ = stop_ || payload.rfind("0001Zr", 0) == 0;
  };
  const std::uint32_t start = h_.clock.NowMs();
  EXPECT_EQ(upgrade::UpgradeSequence("0001", h_.state, h_.env), UpgradeResult::Interrupted);
  EXPECT_EQ(h_.device.runs, 1);
  EXPECT_LT(h_.clock.NowMs() - start, 2000u);
  EXPECT_TRUE(InOrder(h_.log, {"run sent 7000", "close", "end run stopped block -1 tries 0 done 0",
                               "finish stopped"}));
  EXPECT_TRUE(Matching(h_.log, Msg(msg::kUpgradeOk)).empty());
  EXPECT_TRUE(Matching(h_.log, "tone 1000 300").empty());
  EXPECT_EQ(h_.events.finish->holds.flash, Flash::Running);
}

TEST_F(StopAndReadBackTest, AFailedPhaseNamesItsBlockAndTries) {
  Load(6);
  h_.device.writeFailures = {{3, 5}};
  EXPECT_EQ(upgrade::UpgradeSequence("0001", h_.state, h_.env), UpgradeResult::ProgramFailed);
  EXPECT_EQ(LastPhase().phase, Phase::Program);
  EXPECT_EQ(LastPhase().failure, PhaseFailure::NoReply);
  EXPECT_EQ(LastPhase().block, 3);
  EXPECT_EQ(LastPhase().tries, 5);
  EXPECT_EQ(LastPhase().blocksDone, 3);
  EXPECT_EQ(LastPhase().lastTry.verdict, link::ExchangeVerdict::NoReply);

  h_.device.writeFailures.clear();
  h_.device.corruptStored = {4};
  EXPECT_EQ(upgrade::UpgradeSequence("0001", h_.state, h_.env), UpgradeResult::VerifyFailed);
  EXPECT_EQ(LastPhase().phase, Phase::Verify);
  EXPECT_EQ(LastPhase().failure, PhaseFailure::DataDiffers);
  EXPECT_EQ(LastPhase().block, 4);
  EXPECT_EQ(LastPhase().blocksDone, 4);
}

TEST_F(StopAndReadBackTest, VerifySequenceWritesNothingAndRunsNothing) {
  Load(4);
  ASSERT_EQ(upgrade::UpgradeSequence("0001", h_.state, h_.env), UpgradeResult::UpgradeOk);
  h_.log.clear();
  EXPECT_EQ(upgrade::VerifySequence("0001", h_.state, h_.env), ReadBackResult::Ok);
  EXPECT_EQ(Sent(),
            (std::vector<std::string>{"send 0001Zx5E2D", "send 0001Zv0000", "send 0001Zv0200",
                                      "send 0001Zv0400", "send 0001Zv0600"}));
  EXPECT_EQ(Matching(h_.log, "msg"),
            (std::vector<std::string>{Msg(msg::kVerifying), Msg(msg::kVerifyOk)}));
  EXPECT_EQ(h_.device.runs, 1) << "only the upgrade's";
  EXPECT_EQ(h_.events.finish->holds.flash, Flash::Verified);

  h_.device.flash[2 * 512 + 9] ^= 0x01;
  EXPECT_EQ(upgrade::VerifySequence("0001", h_.state, h_.env), ReadBackResult::Failed);
  EXPECT_EQ(LastPhase().failure, PhaseFailure::DataDiffers);
  EXPECT_EQ(LastPhase().block, 2);
  EXPECT_EQ(h_.events.finish->holds.flash, Flash::Differs);
  EXPECT_EQ(Matching(h_.log, "msg").back(), Msg(msg::kVerifyError));
  EXPECT_TRUE(Matching(h_.log, "send 0001Zp").empty());
}

TEST_F(StopAndReadBackTest, ReadFlashTakesEveryBlockFromItsOwnReply) {
  // A flash whose blocks all differ, except an erased run where a reply out
  // of step would go unnoticed by a comparison; one read-back answered late.
  for (int b = 0; b < 124; ++b) {
    for (int i = 0; i < 512; ++i) {
      h_.device.flash[static_cast<std::size_t>(b * 512 + i)] =
          b >= 60 && b < 70 ? 0xFF : static_cast<std::uint8_t>(b * 3 + i);
    }
  }
  h_.device.lateReadBacks = {61, 100};
  image::BlockTable table;
  std::string info;
  link::LinkSettings link;
  link.linkKind = link::LinkKind::Tcp;
  EXPECT_EQ(upgrade::ReadFlashSequence("0001", link, 124, table, info, h_.env), ReadBackResult::Ok);
  EXPECT_EQ(info, h_.device.info);
  for (int b = 0; b < 124; ++b) {
    const auto block = table.Block(b);
    ASSERT_TRUE(std::equal(block.begin(), block.end(), h_.device.flash.begin() + b * 512))
        << "block " << b;
  }
  EXPECT_TRUE(Matching(h_.log, "send 0001Zp").empty());
  EXPECT_EQ(h_.device.runs, 0);
  EXPECT_EQ(h_.closes, 1);
}

TEST_F(StopAndReadBackTest, ReadFlashFailsOnDataItCannotRead) {
  struct Case {
    const char* name;
    std::function<void(FakeDevice&)> apply;
    ReadBackResult expected;
  };
  const std::vector<Case> cases = {
      {"lowercase read-back", [](FakeDevice& d) { d.lowercaseReadBack = true; },
       ReadBackResult::Failed},
      {"handshake of 30 bytes", [](FakeDevice& d) { d.handshakeBodyExtra = 1; },
       ReadBackResult::NoDevice},
      {"no handshake",
       [](FakeDevice& d) {
         d.silentHandshakes = {0, 1, 2};
       },
       ReadBackResult::NoDevice},
  };
  for (const auto& c : cases) {
    Harness h;
    c.apply(h.device);
    image::BlockTable table;
    std::string info;
    EXPECT_EQ(upgrade::ReadFlashSequence("0001", {}, 124, table, info, h.env), c.expected)
        << c.name;
    EXPECT_EQ(h.closes, 1) << c.name;
  }
}

// Records what the observer is told, as short text.
class RecordingObserver final : public link::ExchangeObserver {
 public:
  void FrameSent(std::span<const std::uint8_t> frame) override {
    events.push_back("sent " + std::string(frame.begin() + 1, frame.begin() + 11));
  }
  void BytesReceived(std::span<const std::uint8_t> bytes) override {
    events.push_back("received " + std::to_string(bytes.size()));
  }
  void ExchangeEnded(link::ExchangeVerdict verdict, const link::ExchangeNotes& notes) override {
    events.push_back(std::string(verdict == link::ExchangeVerdict::Accepted ? "accepted"
                                 : verdict == link::ExchangeVerdict::BadCrc ? "bad CRC"
                                                                            : "no reply") +
                     (notes.Disturbed() ? " disturbed" : ""));
  }
  void LinkResynced(std::span<const std::uint8_t> discarded, bool quiet) override {
    events.push_back("resync " + std::to_string(discarded.size()) + (quiet ? " quiet" : ""));
  }
  std::vector<std::string> events;
};

TEST_F(StopAndReadBackTest, ObserverSeesEveryFrameAndVerdict) {
  Load(2);
  RecordingObserver observer;
  h_.env.observer = &observer;
  h_.device.lateReadBacks = {1};
  ASSERT_EQ(upgrade::UpgradeSequence("0001", h_.state, h_.env), UpgradeResult::UpgradeOk);
  const std::string readBack = std::to_string(link::BuildReply(std::string(1030, 'F')).size());
  EXPECT_EQ(observer.events, (std::vector<std::string>{
                                 "sent 0001Zx5E2D", "received 29",
                                 "accepted",        "sent 0001Zp0000",
                                 "received 15",     "accepted",
                                 "sent 0001Zp0200", "received 15",
                                 "accepted",        "sent 0001Zx5E2D",
                                 "received 29",     "accepted",
                                 "sent 0001Zv0000", "received " + readBack,
                                 "accepted",        "sent 0001Zv0200",
                                 "received 0",      "no reply",
                                 "sent 0001Zv0200", "received " + readBack,
                                 "accepted",        "resync " + readBack + " quiet",
                                 "sent 0001Zv0200", "received " + readBack,
                                 "accepted",        "sent 0001ZrC71A",
                                 "received 16",     "accepted",
                             }));
}

}  // namespace
}  // namespace ql::testing_support
