// The upgrade sequence: write every block, read every block back and compare
// it, then tell the device to run the new firmware. A phase that fails stops
// the sequence; the device is told to run only an image that compared equal.
// The check of a device's flash alone is the verification phase of it.
#include "image/firmware_file.h"
#include "link/command_exchange.h"
#include "text/message_table.h"
#include "upgrade/block_exchange.h"
#include "upgrade/device_commands.h"
#include "upgrade/procedures.h"
#include "upgrade/sound_tone.h"

namespace ql::upgrade {
namespace {

constexpr std::uint32_t kRunWaitMs = 7000;

enum class PhaseEnd { Done, Failed, Interrupted };

void Report(Environment& env, Phase phase) {
  if (env.report != nullptr) {
    *env.report = ProcedureReport{};
    env.report->phase = phase;
  }
}

PhaseEnd ProgramBlocks(link::CommandExchange& exchange, const std::string& deviceId,
                       const DeviceState& state, Environment& env) {
  Report(env, Phase::Program);
  if (env.StopRequested()) {
    return PhaseEnd::Interrupted;
  }
  if (state.deviceFamily != image::kDeviceFamily ||
      !exchange.ExchangeCommand(HandshakeCommand(deviceId))) {
    NoteLinkLost(exchange, env);
    return PhaseEnd::Failed;
  }
  PhaseEnd end = PhaseEnd::Done;
  env.clock.SleepMs(kAfterHandshakeMs);
  env.view.SetProgressMaximum(Bar::Program, state.blockCount);
  for (int block = 0; block < state.blockCount; ++block) {
    const std::string command = WriteCommand(deviceId, block, state.blockTable.Block(block));
    int failedTries = 0;
    env.clock.SleepAfterMarkMs(kBeforeBlockMs);
    const BlockEnd written = ExchangeBlock(exchange, command, env, failedTries);
    if (env.report != nullptr) {
      env.report->block = block;
      env.report->tries = failedTries;
      env.report->blocksDone = block + (written == BlockEnd::Accepted ? 1 : 0);
    }
    if (written != BlockEnd::Accepted) {
      end = written == BlockEnd::Interrupted ? PhaseEnd::Interrupted : PhaseEnd::Failed;
      break;
    }
    env.view.SetProgressPosition(Bar::Program, block);
  }
  env.view.SetProgressPosition(Bar::Program, state.blockCount);
  return end;
}

// Reads every block back and compares it with the image; when it ends Done
// the pause before the run command has passed as well.
PhaseEnd VerifyBlocks(link::CommandExchange& exchange, const std::string& deviceId,
                      const DeviceState& state, Environment& env) {
  Report(env, Phase::Verify);
  if (env.StopRequested()) {
    return PhaseEnd::Interrupted;
  }
  if (state.deviceFamily != image::kDeviceFamily) {
    return PhaseEnd::Failed;
  }
  // A reply still owed from programming would otherwise answer the handshake.
  if ((exchange.InputWaiting() && !exchange.Resync()) ||
      !exchange.ExchangeCommand(HandshakeCommand(deviceId))) {
    NoteLinkLost(exchange, env);
    return PhaseEnd::Failed;
  }
  const auto compare = [&state, &env](int block, std::string_view data) {
    const bool equal = data == BlockDataText(state.blockTable.Block(block));
    if (!equal && env.report != nullptr) {
      env.report->mismatch = true;
    }
    return equal;
  };
  const ReadBackEnd end = ReadBackBlocks(exchange, deviceId, state.blockCount,
                                         exchange.LastNotes().Disturbed(), env, compare);
  env.view.SetProgressPosition(Bar::Verify, state.blockCount);
  return end == ReadBackEnd::Done          ? PhaseEnd::Done
         : end == ReadBackEnd::Interrupted ? PhaseEnd::Interrupted
                                           : PhaseEnd::Failed;
}

// What the view shows when a stop request ends a procedure: no message and
// no tone, so the caller can say what the device holds at once.
void EndInterrupted(UpgradeView& view) {
  view.SetBusy(0);
  view.SetHourglass(false);
  view.Pump();
  view.SetWindowEnabled(true);
}

}  // namespace

UpgradeResult UpgradeSequence(const std::string& deviceId, const DeviceState& state,
                              Environment& env) {
  UpgradeView& view = env.view;
  link::Clock& clock = env.clock;
  Report(env, Phase::Program);

  view.SetWindowEnabled(false);
  view.SetHourglass(true);
  view.Pump();
  view.SetProgressPosition(Bar::Program, 0);
  view.SetProgressPosition(Bar::Verify, 0);

  auto transport = env.openLink(state.link);
  if (!transport) {
    view.SetIndicator(Indicator::Red);
    view.ShowMessage(text::msg::kOpenPortError, {});
    SoundTone(env, 300, 300);
    view.SetHourglass(false);
    view.Pump();
    view.SetWindowEnabled(true);
    return UpgradeResult::LinkNotOpened;
  }
  link::CommandExchange exchange(*transport, clock);
  exchange.SetObserver(env.observer);

  view.ShowMessage(text::msg::kProgramming, {});
  view.Pump();
  view.SetBusy(1);
  clock.SleepMs(kBeforeHandshakeMs);
  switch (ProgramBlocks(exchange, deviceId, state, env)) {
    case PhaseEnd::Done:
      break;
    case PhaseEnd::Interrupted:
      transport->Close();
      EndInterrupted(view);
      return UpgradeResult::Interrupted;
    case PhaseEnd::Failed:
      transport->Close();
      view.ShowMessage(text::msg::kProgramError, {});
      view.SetBusy(0);
      view.SetIndicator(Indicator::Red);
      view.SetHourglass(false);
      view.Pump();
      SoundTone(env, 300, 300);
      view.SetWindowEnabled(true);
      view.SetHourglass(false);
      view.Pump();
      view.SetWindowEnabled(true);
      return UpgradeResult::ProgramFailed;
  }
  view.ShowMessage(text::msg::kProgramOk, {});
  view.SetBusy(0);
  view.SetIndicator(Indicator::Yellow);
  SoundTone(env, 1000, 100);

  view.ShowMessage(text::msg::kVerifying, {});
  view.Pump();
  clock.SleepMs(kBeforeHandshakeMs);
  UpgradeResult result = UpgradeResult::UpgradeOk;
  switch (VerifyBlocks(exchange, deviceId, state, env)) {
    case PhaseEnd::Interrupted:
      transport->Close();
      EndInterrupted(view);
      return UpgradeResult::Interrupted;
    case PhaseEnd::Failed:
      view.ShowMessage(text::msg::kVerifyError, {});
      view.SetIndicator(Indicator::Red);
      view.SetBusy(0);
      SoundTone(env, 300, 300);
      result = UpgradeResult::VerifyFailed;
      break;
    case PhaseEnd::Done:
      // The pause before the run command has passed inside the
      // verification, which looks for late replies during it.
      view.ShowMessage(text::msg::kVerifyOk, {});
      view.Pump();
      if (env.StopRequested()) {
        transport->Close();
        EndInterrupted(view);
        return UpgradeResult::Interrupted;
      }
      Report(env, Phase::Run);
      view.ShowMessage(text::msg::kUpgrading, {});
      view.Pump();
      if (state.deviceFamily == image::kDeviceFamily) {
        // Whatever the device answers, it is now starting the new
        // firmware; give it the time it needs before anything else.
        exchange.ExchangeCommand(RunCommand(deviceId));
        if (env.report != nullptr) {
          env.report->runSent = true;
        }
        NoteLinkLost(exchange, env);
        clock.SleepMs(kRunWaitMs);
      }
      view.ShowMessage(text::msg::kUpgradeOk, {});
      view.SetIndicator(Indicator::Yellow);
      view.SetBusy(0);
      SoundTone(env, 1000, 300);
      break;
  }
  transport->Close();

  view.SetHourglass(false);
  view.Pump();
  view.SetWindowEnabled(true);
  return result;
}

ReadBackResult VerifySequence(const std::string& deviceId, const DeviceState& state,
                              Environment& env) {
  UpgradeView& view = env.view;
  Report(env, Phase::Verify);
  view.SetWindowEnabled(false);
  view.SetHourglass(true);
  view.Pump();
  view.SetProgressPosition(Bar::Verify, 0);

  ReadBackResult result = ReadBackResult::Ok;
  auto transport = env.openLink(state.link);
  if (!transport) {
    view.SetIndicator(Indicator::Red);
    view.ShowMessage(text::msg::kOpenPortError, {});
    SoundTone(env, 300, 300);
    result = ReadBackResult::LinkNotOpened;
  } else {
    link::CommandExchange exchange(*transport, env.clock);
    exchange.SetObserver(env.observer);
    view.ShowMessage(text::msg::kVerifying, {});
    view.Pump();
    env.clock.SleepMs(kBeforeHandshakeMs);
    const PhaseEnd end = VerifyBlocks(exchange, deviceId, state, env);
    transport->Close();
    if (end == PhaseEnd::Interrupted) {
      EndInterrupted(view);
      return ReadBackResult::Interrupted;
    }
    if (end == PhaseEnd::Done) {
      view.ShowMessage(text::msg::kVerifyOk, {});
      view.SetIndicator(Indicator::Yellow);
      SoundTone(env, 1000, 300);
    } else {
      view.ShowMessage(text::msg::kVerifyError, {});
      view.SetIndicator(Indicator::Red);
      SoundTone(env, 300, 300);
      result = ReadBackResult::Failed;
    }
  }
  view.SetHourglass(false);
  view.Pump();
  view.SetWindowEnabled(true);
  return result;
}

}  // namespace ql::upgrade
