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
       "127.0.0.1:5003: no valid handshake reply in 3 attempts, the last: no reply "
       "(check the device ID, the line settings and the cable)"},
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
      {LinkLabel({link::LinkKind::Tcp, "COM3", "fast", "10.0.0.7", "5003"}), "10.0.0.7:5003"},
      {LinkLabel({link::LinkKind::Serial, "/dev/ttyUSB0", "fast", "10.0.0.7", "5003"}),
       "/dev/ttyUSB0"},
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

// A failed phase says what the device now holds: what was written for
// certain, whether it was told to run, and what to do.
TEST(FailureReason, AFailureSaysWhatTheDeviceHolds) {
  const auto failed = [](Procedure procedure, Flash flash, int block = -1) {
    return Finish{procedure, Outcome::PhaseFailed, {flash, block}};
  };
  const auto in = [](Phase phase, PhaseFailure failure, int block) {
    return std::optional(Failed(phase, failure, block));
  };
  const struct {
    Finish finish;
    std::optional<PhaseEnd> lastPhase;
    std::string says;
  } cases[] = {
      {failed(Procedure::Upgrade, Flash::AsBefore), in(Phase::Program, PhaseFailure::NoReply, -1),
       "nothing was written to the device"},
      {failed(Procedure::Upgrade, Flash::Partial, 0), in(Phase::Program, PhaseFailure::LinkLost, 0),
       "the device may hold part of block 0 of the new image, no block of it for certain, and "
       "was not told to run it; run the upgrade again"},
      {failed(Procedure::Upgrade, Flash::Partial, 23),
       in(Phase::Program, PhaseFailure::LinkLost, 23),
       "the device holds a partial image, the first 23 of 124 blocks of the new one, and was not "
       "told to run it; run the upgrade again"},
      {failed(Procedure::Upgrade, Flash::Differs, 7),
       in(Phase::Verify, PhaseFailure::DataDiffers, 7),
       "the device holds a complete image that differs from the file at block 7, address 0E00, "
       "and was not told to run it; run the upgrade again"},
      {failed(Procedure::Upgrade, Flash::WholeImage), in(Phase::Verify, PhaseFailure::LinkLost, 40),
       "the device holds the whole new image, not verified, and was not told to run it; run the "
       "upgrade again"},
      {failed(Procedure::Verify, Flash::Differs, 7),
       in(Phase::Verify, PhaseFailure::DataDiffers, 7),
       "the device's flash matches the file in its first 7 of 124 blocks and differs at block 7; "
       "nothing was written to the device"},
      {failed(Procedure::Verify, Flash::Differs, 0),
       in(Phase::Verify, PhaseFailure::DataDiffers, 0),
       "the device's flash differs from the file at block 0; nothing was written to the device"},
      {failed(Procedure::Verify, Flash::AsBefore), in(Phase::Verify, PhaseFailure::NoReply, 9),
       "the check ended after 9 of 124 blocks compared: nothing was written to the device"},
      {failed(Procedure::ReadFlash, Flash::AsBefore), in(Phase::Read, PhaseFailure::NoReply, 9),
       "nothing was written to the device"},
      // Nothing to tell: a connect, or a procedure that did not fail in a phase.
      {failed(Procedure::Connect, Flash::AsBefore), std::nullopt, ""},
      {Finish{Procedure::Upgrade, Outcome::Done, {Flash::Running, -1}},
       in(Phase::Run, PhaseFailure::None, -1), ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FailureHoldings(c.finish, c.lastPhase), c.says);
  }
}

}  // namespace
}  // namespace ql::upgrade
