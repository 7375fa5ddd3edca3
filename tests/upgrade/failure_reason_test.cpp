// The words both front ends add to a failure's message, and the account of
// what a stopped procedure leaves on the device.
#include "upgrade/failure_reason.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>

namespace ql::upgrade {
namespace {

PhaseEnd Failed(Phase phase, PhaseFailure failure, int block, int tries = 0) {
  PhaseEnd end;
  end.phase = phase;
  end.failure = failure;
  end.block = block;
  end.tries = tries;
  end.blockCount = 124;
  end.blocksDone = std::max(block, 0);
  return end;
}

TEST(FailureReason, EachFailureSaysWhy) {
  using Verdict = link::ExchangeVerdict;
  const std::string link = "127.0.0.1:5003";
  PhaseEnd badCrc = Failed(Phase::Program, PhaseFailure::NoReply, -1, 1);
  badCrc.lastTry = {Verdict::BadCrc, 29, {}};
  PhaseEnd gone = Failed(Phase::Program, PhaseFailure::LinkLost, 3);
  gone.lastTry = {Verdict::LinkGone, 0, "Input/output error"};
  const std::pair<std::string, std::string> cases[] = {
      {LinkReason(link, "Connection refused"), "127.0.0.1:5003: Connection refused"},
      {NoDeviceReason(link, 3, {Verdict::NoReply, 0, {}}),
       "127.0.0.1:5003: no valid handshake reply in 3 attempts, the last: no reply"},
      {NoDeviceReason(link, 3, {Verdict::Accepted, 28, {}}),
       "127.0.0.1:5003: no valid handshake reply in 3 attempts, the last: a reply of 28 bytes, "
       "29 expected"},
      {MismatchReason("QL481TX-V1      ", "QL480TX-V5\x1b"),
       "the device is \"QL481TX-V1\", the file is for \"QL480TX-V5?\""},
      {LoadReason(LoadFailure::Unreadable, ENOENT), "No such file or directory"},
      {PhaseReason(Failed(Phase::Program, PhaseFailure::NoReply, 23, 5)),
       "block 23, address 2E00, 5 tries"},
      {PhaseReason(badCrc), "handshake: bad CRC"},
      {PhaseReason(Failed(Phase::Verify, PhaseFailure::DataDiffers, 123)),
       "block 123, address F600, data differs"},
      {PhaseReason(Failed(Phase::Verify, PhaseFailure::NeverQuiet, 4)),
       "block 4, address 0800, the link never fell quiet"},
      {PhaseReason(gone), "block 3, address 0600, link lost: Input/output error"},
      {NoDeviceReason(link, 1, {Verdict::LinkGone, 0, "Connection reset by peer"}),
       "127.0.0.1:5003: link lost: Connection reset by peer"},
      {PhaseReason(Failed(Phase::Verify, PhaseFailure::None, -1)), ""},
  };
  for (const auto& [reason, expected] : cases) {
    EXPECT_EQ(reason, expected);
  }
}

TEST(FailureReason, AStopSaysWhatTheDeviceHolds) {
  const auto stopped = [](Procedure procedure, Flash flash, int block = -1) {
    return Finish{procedure, Outcome::Stopped, {flash, block}};
  };
  const auto in = [](Phase phase, int block) {
    return std::optional(Failed(phase, PhaseFailure::Stopped, block));
  };
  const struct {
    Finish finish;
    std::optional<PhaseEnd> lastPhase;
    std::string says;
  } cases[] = {
      {stopped(Procedure::Connect, Flash::AsBefore), std::nullopt,
       "stopped while connecting: nothing was written to the device"},
      {stopped(Procedure::ReadFlash, Flash::AsBefore), std::nullopt,
       "stopped while connecting: nothing was written to the device"},
      {stopped(Procedure::Upgrade, Flash::AsBefore), in(Phase::Program, -1),
       "stopped before programming began: nothing was written to the device"},
      {stopped(Procedure::Upgrade, Flash::Partial, 23), in(Phase::Program, 23),
       "programming stopped after 23 of 124 blocks: the device holds a partial image and was "
       "not told to run it; run the upgrade again to complete it"},
      {stopped(Procedure::Upgrade, Flash::WholeImage), in(Phase::Verify, 40),
       "verification stopped after 40 of 124 blocks compared: the device holds the whole new "
       "image, not yet verified, and was not told to run it; run the upgrade again to complete "
       "it"},
      {stopped(Procedure::Upgrade, Flash::Verified), in(Phase::Verify, -1),
       "stopped after verification: the device holds the new image, verified, but was not told "
       "to run it; run the upgrade again to complete it"},
      {stopped(Procedure::Upgrade, Flash::Running), in(Phase::Run, -1),
       "stopped after the run command: the device holds the new image, verified, and was told "
       "to run it; it needs about 7 s to start"},
      {stopped(Procedure::Verify, Flash::AsBefore), in(Phase::Verify, 9),
       "the check stopped after 9 of 124 blocks compared: nothing was written to the device"},
      {stopped(Procedure::ReadFlash, Flash::AsBefore), in(Phase::Read, 9),
       "reading stopped after 9 of 124 blocks: nothing was written to the device"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StopExplanation(c.finish, c.lastPhase), c.says);
  }
}

}  // namespace
}  // namespace ql::upgrade
