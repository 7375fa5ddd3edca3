// The upgrade sequence: write every block, read every block back and compare
// it, then tell the device to run the new firmware. A phase that fails stops
// the sequence; the device is told to run only an image that compared equal.
// The check of a device's flash alone is the verification phase of it.
#include <algorithm>

#include "image/firmware_file.h"
#include "link/command_exchange.h"
#include "upgrade/block_exchange.h"
#include "upgrade/device_commands.h"
#include "upgrade/procedures.h"
#include "upgrade/sound_tone.h"

namespace ql::upgrade {
namespace {

// How often a stop request is looked for during the wait after the run
// command, when one can come.
constexpr std::uint32_t kStopCheckMs = 50;

PhaseEnd Ended(Phase phase, int blockCount, PhaseFailure failure) {
  PhaseEnd end;
  end.phase = phase;
  end.blockCount = blockCount;
  end.failure = failure;
  return end;
}

// The phase's handshake went unanswered, or the link went away.
PhaseEnd HandshakeRefused(Phase phase, int blockCount, const link::CommandExchange& exchange) {
  const bool gone = exchange.LinkGone();
  PhaseEnd end = Ended(phase, blockCount, gone ? PhaseFailure::LinkLost : PhaseFailure::NoReply);
  end.tries = gone ? 0 : 1;
  end.lastTry = LastTry(exchange);
  return end;
}

PhaseEnd ProgramBlocks(link::CommandExchange& exchange, const std::string& deviceId,
                       const DeviceState& state, Environment& env) {
  const int count = state.blockCount;
  if (env.StopRequested()) {
    return Ended(Phase::Program, count, PhaseFailure::Stopped);
  }
  if (state.deviceFamily != image::kDeviceFamily) {
    return Ended(Phase::Program, count, PhaseFailure::NotConnected);
  }
  if (!exchange.ExchangeCommand(HandshakeCommand(deviceId))) {
    return HandshakeRefused(Phase::Program, count, exchange);
  }
  env.clock.SleepMs(kAfterHandshakeMs);
  env.events.BlocksBegin(Phase::Program, count);
  PhaseEnd end = Ended(Phase::Program, count, PhaseFailure::None);
  for (int block = 0; block < count; ++block) {
    const std::string command = WriteCommand(deviceId, block, state.blockTable.Block(block));
    int failedTries = 0;
    env.clock.SleepAfterMarkMs(kBeforeBlockMs);
    const BlockEnd written = ExchangeBlock(exchange, command, env, failedTries);
    if (written != BlockEnd::Accepted) {
      end.failure = written == BlockEnd::Interrupted ? PhaseFailure::Stopped
                    : written == BlockEnd::LinkLost  ? PhaseFailure::LinkLost
                                                     : PhaseFailure::NoReply;
      end.block = block;
      end.tries = failedTries;
      end.blocksDone = block;
      if (end.failure != PhaseFailure::Stopped) {
        end.lastTry = LastTry(exchange);
      }
      return end;
    }
    env.events.BlockDone(Phase::Program, block);
  }
  end.blocksDone = count;
  return end;
}

// Reads every block back and compares it with the image; when it ends well
// the pause before the run command has passed as well.
PhaseEnd VerifyBlocks(link::CommandExchange& exchange, const std::string& deviceId,
                      const DeviceState& state, Environment& env) {
  const int count = state.blockCount;
  if (env.StopRequested()) {
    return Ended(Phase::Verify, count, PhaseFailure::Stopped);
  }
  if (state.deviceFamily != image::kDeviceFamily) {
    return Ended(Phase::Verify, count, PhaseFailure::NotConnected);
  }
  // A reply still owed from programming would otherwise answer the handshake.
  if (exchange.InputWaiting() && !exchange.Resync()) {
    if (exchange.LinkGone()) {
      return HandshakeRefused(Phase::Verify, count, exchange);
    }
    return Ended(Phase::Verify, count, PhaseFailure::NeverQuiet);
  }
  if (!exchange.ExchangeCommand(HandshakeCommand(deviceId))) {
    return HandshakeRefused(Phase::Verify, count, exchange);
  }
  const auto compare = [&state](int block, std::string_view data) {
    return data == BlockDataText(state.blockTable.Block(block));
  };
  return ReadBackBlocks(exchange, deviceId, Phase::Verify, count, exchange.LastNotes().Disturbed(),
                        env, compare);
}

// What a device holds after a failed or stopped programming phase.
Holdings AfterProgramming(const PhaseEnd& end) {
  // Before the first write nothing was sent that could change the flash.
  return end.block < 0 ? Holdings{} : Holdings{Flash::Partial, end.blocksDone};
}

// What a device holds after a failed or stopped verification; `written`: the
// whole image was written just before.
Holdings AfterVerification(const PhaseEnd& end, bool written) {
  if (end.failure == PhaseFailure::DataDiffers) {
    return {Flash::Differs, end.block};
  }
  return written ? Holdings{Flash::WholeImage} : Holdings{};
}

// The wait the device needs to start the new firmware, each whole second told
// as it begins. A stop request cuts it short: nothing is sent after it, so
// the device sees no difference but a link closed sooner. False when cut.
bool AwaitStart(Environment& env) {
  link::Clock& clock = env.clock;
  const std::uint32_t start = clock.NowMs();
  int told = -1;
  while (true) {
    const std::uint32_t elapsed = link::ElapsedMs(start, clock.NowMs());
    if (elapsed >= env.runWaitMs) {
      return true;
    }
    if (env.StopRequested()) {
      return false;
    }
    const std::uint32_t left = env.runWaitMs - elapsed;
    const int seconds = static_cast<int>((left + 999) / 1000);
    if (seconds != told) {
      env.events.RunWaitLeft(seconds);
      told = seconds;
    }
    std::uint32_t pause = left - static_cast<std::uint32_t>(seconds - 1) * 1000;
    if (env.stopRequested != nullptr) {
      pause = std::min(pause, kStopCheckMs);
    }
    clock.SleepMs(pause);
  }
}

// The three phases on the open link.
UpgradeResult UpgradeOnLink(link::CommandExchange& exchange, link::Transport& transport,
                            const std::string& deviceId, const DeviceState& state,
                            Environment& env) {
  ProcedureEvents& events = env.events;
  // The link is closed where the device needs it: at once after a stop or a
  // failed write, after the tone of a failed read-back.
  const auto finish = [&events](Outcome outcome, Holdings holds, UpgradeResult result) {
    events.Finished({Procedure::Upgrade, outcome, holds});
    return result;
  };

  events.PhaseStarted(Phase::Program, state.blockCount);
  env.clock.SleepMs(kBeforeHandshakeMs);
  const PhaseEnd programmed = ProgramBlocks(exchange, deviceId, state, env);
  if (!programmed.Ok()) {
    transport.Close();
    events.PhaseEnded(programmed);
    if (programmed.failure == PhaseFailure::Stopped) {
      return finish(Outcome::Stopped, AfterProgramming(programmed), UpgradeResult::Interrupted);
    }
    SoundTone(env, kFailureTone);
    return finish(Outcome::PhaseFailed, AfterProgramming(programmed), UpgradeResult::ProgramFailed);
  }
  events.PhaseEnded(programmed);
  SoundTone(env, kProgrammedTone);

  events.PhaseStarted(Phase::Verify, state.blockCount);
  env.clock.SleepMs(kBeforeHandshakeMs);
  const PhaseEnd verified = VerifyBlocks(exchange, deviceId, state, env);
  if (verified.failure == PhaseFailure::Stopped) {
    transport.Close();
    events.PhaseEnded(verified);
    return finish(Outcome::Stopped, AfterVerification(verified, true), UpgradeResult::Interrupted);
  }
  events.PhaseEnded(verified);
  if (!verified.Ok()) {
    SoundTone(env, kFailureTone);
    transport.Close();
    return finish(Outcome::PhaseFailed, AfterVerification(verified, true),
                  UpgradeResult::VerifyFailed);
  }
  // The pause before the run command has passed inside the verification,
  // which looks for late replies during it.
  if (env.StopRequested()) {
    transport.Close();
    return finish(Outcome::Stopped, {Flash::Verified}, UpgradeResult::Interrupted);
  }

  events.PhaseStarted(Phase::Run, 0);
  // Whatever the device answers, it is now starting the new firmware; give
  // it the time it needs before anything else.
  exchange.ExchangeCommand(RunCommand(deviceId));
  events.RunSent(env.runWaitMs);
  PhaseEnd run = Ended(Phase::Run, 0, PhaseFailure::None);
  if (!AwaitStart(env)) {
    run.failure = PhaseFailure::Stopped;
    transport.Close();
    events.PhaseEnded(run);
    return finish(Outcome::Stopped, {Flash::Running}, UpgradeResult::Interrupted);
  }
  events.PhaseEnded(run);
  SoundTone(env, kSuccessTone);
  transport.Close();
  return finish(Outcome::Done, {Flash::Running}, UpgradeResult::UpgradeOk);
}

}  // namespace

UpgradeResult UpgradeSequence(const std::string& deviceId, const DeviceState& state,
                              Environment& env) {
  env.events.Started(Procedure::Upgrade);
  std::string why;
  auto transport = env.openLink(state.link, why);
  if (!transport) {
    env.events.LinkNotOpened(why);
    SoundTone(env, kFailureTone);
    env.events.Finished({Procedure::Upgrade, Outcome::LinkNotOpened, {}});
    return UpgradeResult::LinkNotOpened;
  }
  env.events.LinkOpened();
  link::CommandExchange exchange(*transport, env.clock);
  exchange.SetObserver(env.observer);
  return UpgradeOnLink(exchange, *transport, deviceId, state, env);
}

ReadBackResult VerifySequence(const std::string& deviceId, const DeviceState& state,
                              Environment& env) {
  ProcedureEvents& events = env.events;
  events.Started(Procedure::Verify);
  std::string why;
  auto transport = env.openLink(state.link, why);
  if (!transport) {
    events.LinkNotOpened(why);
    SoundTone(env, kFailureTone);
    events.Finished({Procedure::Verify, Outcome::LinkNotOpened, {}});
    return ReadBackResult::LinkNotOpened;
  }
  events.LinkOpened();
  link::CommandExchange exchange(*transport, env.clock);
  exchange.SetObserver(env.observer);
  events.PhaseStarted(Phase::Verify, state.blockCount);
  env.clock.SleepMs(kBeforeHandshakeMs);
  const PhaseEnd verified = VerifyBlocks(exchange, deviceId, state, env);
  transport->Close();
  events.PhaseEnded(verified);
  const Holdings holds =
      verified.Ok() ? Holdings{Flash::Verified} : AfterVerification(verified, false);
  if (verified.failure == PhaseFailure::Stopped) {
    events.Finished({Procedure::Verify, Outcome::Stopped, holds});
    return ReadBackResult::Interrupted;
  }
  SoundTone(env, verified.Ok() ? kSuccessTone : kFailureTone);
  events.Finished({Procedure::Verify, verified.Ok() ? Outcome::Done : Outcome::PhaseFailed, holds});
  return verified.Ok() ? ReadBackResult::Ok : ReadBackResult::Failed;
}

}  // namespace ql::upgrade
