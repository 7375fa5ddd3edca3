// The link lost in the middle of an upgrade, for real: the emulator hangs its
// link up after a given command (the pseudo-terminal hung up, the TCP
// connection closed), or is stopped outright while a phase runs. The phase
// ends at once with the link lost and the system's reason: no block is tried
// again against nothing, and the device is never told to run.
#include <functional>
#include <span>
#include <string_view>

#include "link/exchange_observer.h"
#include "road_fixture.h"

namespace ql::testing_support {
namespace {

using upgrade::ConnectResult;
using upgrade::Phase;
using upgrade::PhaseFailure;
using upgrade::UpgradeResult;

// Counts the requests sent and the lost links the exchanges tell of.
class LinkWatch final : public link::ExchangeObserver {
 public:
  void FrameSent(std::span<const std::uint8_t>) override {
    ++sent;
    if (onFrame) {
      onFrame();
    }
  }
  void BytesReceived(std::span<const std::uint8_t>) override {}
  void ExchangeEnded(link::ExchangeVerdict, const link::ExchangeNotes&) override {}
  void LinkResynced(std::span<const std::uint8_t>, bool) override {}
  void LinkGone(std::string_view) override { ++lost; }

  std::function<void()> onFrame;  // after each request sent
  int sent = 0;
  int lost = 0;
};

// Four blocks. The emulator numbers the commands: 1 the connect's handshake,
// 2 the programming handshake, 3-6 the writes, 7 the verifying handshake,
// 8-11 the read-backs. The upgrade's own requests count from 1.
struct Case {
  const char* name;
  int after;  // the emulator's command, or the upgrade's request
  UpgradeResult expected;
  Phase phase;
};

class LinkLostRoad : public DeviceRoad {
 protected:
  void ConnectFourBlocks(const TempFirmware& file) {
    state_ = {};
    ASSERT_EQ(Connect(file.path()), ConnectResult::Matched);
    ASSERT_EQ(state_.blockCount, 4);
  }

  // Runs the upgrade, watched; how it ended is the last phase's end.
  UpgradeResult WatchedUpgrade() {
    events_.phases.clear();
    env_.observer = &watch_;
    const UpgradeResult result = Upgrade();
    env_.observer = nullptr;
    return result;
  }

  void ExpectLostIn(const Case& c) {
    EXPECT_EQ(watch_.lost, 1);
    ASSERT_FALSE(events_.phases.empty());
    const upgrade::PhaseEnd& end = events_.phases.back();
    EXPECT_EQ(end.failure, PhaseFailure::LinkLost);
    EXPECT_FALSE(end.lastTry.goneReason.empty());
    EXPECT_EQ(end.phase, c.phase);
    EXPECT_EQ(end.tries, 0) << "no try of the block counts against a lost link";
    EXPECT_EQ(emulator_->GetCounters().runs, 0U);
  }

  LinkWatch watch_;
};

TEST_P(LinkLostRoad, HangUpMidPhaseEndsThePhaseAtOnce) {
  const Case cases[] = {
      {"while programming", 4, UpgradeResult::ProgramFailed, Phase::Program},
      {"while verifying", 8, UpgradeResult::VerifyFailed, Phase::Verify},
      // Every block compared, but the link went before it had been quiet for
      // a whole window: a late reply lost with it could have told otherwise.
      {"after the last read-back", 11, UpgradeResult::VerifyFailed, Phase::Verify},
  };
  const TempFirmware file(kHeader, PatternImage(3 * 512 + 100));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Serve(Faults([&](auto& f) { f.hangUpAfterCommands = static_cast<std::size_t>(c.after); }));
    ConnectFourBlocks(file);
    watch_ = {};

    EXPECT_EQ(WatchedUpgrade(), c.expected);
    // The upgrade's requests the device answered, then at most the one that
    // found the link gone; five tries of it would be four more.
    EXPECT_GE(watch_.sent, c.after - 1);
    EXPECT_LE(watch_.sent, c.after - 1 + 1);
    ExpectLostIn(c);
    const sim::Counters counters = emulator_->GetCounters();
    EXPECT_EQ(counters.hangUps, 1U);
    EXPECT_EQ(counters.commands, static_cast<std::size_t>(c.after));
    emulator_->Stop();
  }
}

TEST_P(LinkLostRoad, EmulatorStoppedMidPhaseEndsThePhaseAtOnce) {
  const Case cases[] = {
      {"while programming", 3, UpgradeResult::ProgramFailed, Phase::Program},
      {"while verifying", 8, UpgradeResult::VerifyFailed, Phase::Verify},
  };
  const TempFirmware file(kHeader, PatternImage(3 * 512 + 100));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Serve();
    ConnectFourBlocks(file);
    watch_ = {};
    // Gone the moment this request has left: its reply may or may not have
    // come first.
    watch_.onFrame = [this, &c] {
      if (watch_.sent == c.after) {
        emulator_->Stop();
      }
    };

    EXPECT_EQ(WatchedUpgrade(), c.expected);
    EXPECT_GE(watch_.sent, c.after);
    EXPECT_LE(watch_.sent, c.after + 1);
    ExpectLostIn(c);
  }
}

INSTANTIATE_TEST_SUITE_P(Links, LinkLostRoad,
                         testing::Values(sim::LinkType::Tcp, sim::LinkType::Pty), LinkName);

}  // namespace
}  // namespace ql::testing_support
