// A link that goes away in the middle of a procedure, on the virtual clock:
// the step in hand ends at once, with no further tries or requests, the
// phase's end says the link was lost and why, and the device is never told
// to run.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "harness.h"

namespace ql::testing_support {
namespace {

using upgrade::ConnectResult;
using upgrade::Phase;
using upgrade::PhaseFailure;
using upgrade::UpgradeResult;

constexpr int kBlocks = 6;
constexpr const char* kReason = "Input/output error";

class LinkLostTest : public ::testing::Test {
 protected:
  LinkLostTest() {
    // The harness's device, on a link that goes away `goneAfterUs_` after
    // the request numbered `goneAfterRequest_` (from 1) reached it.
    h_.env.openLink = [this](const link::LinkSettings& settings, std::string&) {
      auto link = std::make_unique<ScriptedTransport>(h_.clock, settings.linkKind);
      ScriptedTransport* raw = link.get();
      link->SetResponder([this, raw](const std::vector<std::uint8_t>& written) {
        std::vector<Arrival> reply = h_.device.Respond(written, h_.log);
        if (++requests_ == goneAfterRequest_) {
          raw->GoAway(kReason, goneAfterUs_);
        }
        return reply;
      });
      return link;
    };
    h_.state.deviceFamily = "02200001";
    h_.state.link.linkKind = link::LinkKind::Tcp;
    const auto image = PatternImage(kBlocks * 512);
    for (int b = 0; b < kBlocks; ++b) {
      std::copy_n(image.begin() + b * 512, 512, h_.state.blockTable.Row(b).begin());
    }
    h_.state.blockCount = kBlocks;
  }

  // The link goes away after the device has answered request `n` (it answers
  // 2 ms after each), or, with `beforeTheReply`, before it does.
  void GoneAfterRequest(int n, bool beforeTheReply = false) {
    goneAfterRequest_ = n;
    goneAfterUs_ = beforeTheReply ? 1000 : 3000;
  }

  UpgradeResult Upgrade() { return upgrade::UpgradeSequence("0001", h_.state, h_.env); }
  const upgrade::PhaseEnd& LastPhase() const { return h_.events.phases.back(); }

  Harness h_;
  int requests_ = 0;
  int goneAfterRequest_ = 0;
  std::uint64_t goneAfterUs_ = 0;
};

TEST_F(LinkLostTest, WhileProgrammingTheBlockInHandIsNotTriedAgain) {
  GoneAfterRequest(1 + 3);  // the handshake and blocks 0 to 2
  EXPECT_EQ(Upgrade(), UpgradeResult::ProgramFailed);
  EXPECT_EQ(requests_, 4) << "no request reaches a link that is gone";
  EXPECT_EQ(h_.device.writes, 3);
  EXPECT_EQ(Matching(h_.log, "sleep 50").size(), 1u) << "only the pause after the handshake";
  EXPECT_EQ(LastPhase().phase, Phase::Program);
  EXPECT_EQ(LastPhase().failure, PhaseFailure::LinkLost);
  EXPECT_EQ(LastPhase().block, 3);
  EXPECT_EQ(LastPhase().tries, 0);
  EXPECT_EQ(LastPhase().blocksDone, 3);
  EXPECT_EQ(LastPhase().lastTry.goneReason, kReason);
}

TEST_F(LinkLostTest, WhileVerifyingTheReadBackEndsAndTheDeviceIsNotToldToRun) {
  // The programming handshake and six blocks, the verifying handshake and
  // two read-backs; the third read-back's reply never comes.
  GoneAfterRequest(1 + kBlocks + 1 + 3, true);
  EXPECT_EQ(Upgrade(), UpgradeResult::VerifyFailed);
  EXPECT_EQ(requests_, 1 + kBlocks + 1 + 3);
  EXPECT_EQ(h_.device.readBacks, 3);
  EXPECT_EQ(h_.device.runs, 0);
  EXPECT_EQ(LastPhase().phase, Phase::Verify);
  EXPECT_EQ(LastPhase().failure, PhaseFailure::LinkLost);
  EXPECT_EQ(LastPhase().block, 2);
  EXPECT_EQ(LastPhase().tries, 0);
  EXPECT_EQ(LastPhase().blocksDone, 2);
  EXPECT_EQ(LastPhase().lastTry.goneReason, kReason);
}

TEST_F(LinkLostTest, InTheLastLookBeforeTheRunCommandVerificationFails) {
  // Every block read back and equal; the link goes within the window that
  // must stay quiet before the run command. The device never gets it.
  GoneAfterRequest(1 + kBlocks + 1 + kBlocks);
  goneAfterUs_ = 100'000;
  EXPECT_EQ(Upgrade(), UpgradeResult::VerifyFailed);
  EXPECT_EQ(requests_, 1 + kBlocks + 1 + kBlocks);
  EXPECT_EQ(h_.device.runs, 0);
  EXPECT_EQ(LastPhase().failure, PhaseFailure::LinkLost);
  EXPECT_TRUE(Matching(h_.log, "run").empty());
}

TEST_F(LinkLostTest, WhileConnectingTheHandshakeIsNotRepeated) {
  const TempFirmware firmware("QL480TX-V5", PatternImage(512));
  upgrade::ConnectInputs inputs;
  inputs.link.linkKind = link::LinkKind::Tcp;
  inputs.fileVersionText = inputs.selectedHeader = "QL480TX-V5";
  inputs.firmwarePath = firmware.path();
  h_.state = {};
  GoneAfterRequest(1, true);
  EXPECT_EQ(upgrade::ConnectProcedure(inputs, h_.state, h_.env), ConnectResult::NoHandshake);
  EXPECT_EQ(h_.device.handshakes, 1) << "not three attempts against nothing";
  EXPECT_EQ(Matching(h_.log, "sleep 100").size(), 1u);
  EXPECT_TRUE(Matching(h_.log, "handshake failed").empty()) << "no countdown";
  EXPECT_EQ(Matching(h_.log, "device not found").size(), 1u);
  EXPECT_EQ(h_.state.blockCount, 0);
  EXPECT_TRUE(h_.storedLinks.empty()) << "a link that never answered is not stored";
}

}  // namespace
}  // namespace ql::testing_support
