// The upgrade sequence: write every block, read every block back and compare
// it, then tell the device to run the new firmware. A phase that fails stops
// the sequence; the device is told to run only an image that compared equal.
#include "image/firmware_file.h"
#include "link/command_exchange.h"
#include "text/message_table.h"
#include "upgrade/device_commands.h"
#include "upgrade/procedures.h"

namespace ql::upgrade {
namespace {

constexpr int kBlockTries = 5;
// Positions 8 to 1031 of a read-back reply hold the block's data.
constexpr std::size_t kReadBackDataOffset = 7;

// The device needs these pauses between commands.
constexpr std::uint32_t kBeforeHandshakeMs = 100;
constexpr std::uint32_t kAfterHandshakeMs = 50;
constexpr std::uint32_t kBeforeBlockMs = 4;
constexpr std::uint32_t kAfterFailedTryMs = 50;
constexpr std::uint32_t kBeforeRunMs = 50;
constexpr std::uint32_t kRunWaitMs = 7000;

// One block command with up to five tries. The display catches up before
// each try; a failed try is followed by a pause, the last one too. Adds the
// failed tries to `failedTries`.
bool ExchangeBlock(link::CommandExchange& exchange, const std::string& command, Environment& env,
                   int& failedTries) {
  env.clock.SleepMs(kBeforeBlockMs);
  for (int attempt = 0; attempt < kBlockTries; ++attempt) {
    env.view.Pump();
    if (exchange.ExchangeCommand(command)) {
      return true;
    }
    ++failedTries;
    env.clock.SleepMs(kAfterFailedTryMs);
  }
  return false;
}

bool ProgramBlocks(link::CommandExchange& exchange, const std::string& deviceId,
                   const DeviceState& state, Environment& env) {
  if (state.deviceFamily != image::kDeviceFamily ||
      !exchange.ExchangeCommand(HandshakeCommand(deviceId))) {
    return false;
  }
  bool success = true;
  env.clock.SleepMs(kAfterHandshakeMs);
  env.view.SetProgressMaximum(Bar::Program, state.blockCount);
  for (int block = 0; block < state.blockCount; ++block) {
    const std::string command = WriteCommand(deviceId, block, state.blockTable.Block(block));
    int failedTries = 0;
    if (!ExchangeBlock(exchange, command, env, failedTries)) {
      success = false;
      break;
    }
    env.view.SetProgressPosition(Bar::Program, block);
  }
  env.view.SetProgressPosition(Bar::Program, state.blockCount);
  return success;
}

// Reads every block back and compares it with the image.
//
// A reply that comes after its window is read by the next exchange, so one
// late reply shifts every later one by an exchange: block i + 1 is then
// compared with the reply of block i. Where neighbouring blocks hold the same
// data (the 0xFF tail of most images) such a comparison passes without the
// device's block having been read at all. So when a block was compared while
// a reply of an earlier block may still have been owed, the phase passes only
// if no reply arrives unasked after the last block.
bool VerifyBlocks(link::CommandExchange& exchange, const std::string& deviceId,
                  const DeviceState& state, Environment& env) {
  if (state.deviceFamily != image::kDeviceFamily ||
      !exchange.ExchangeCommand(HandshakeCommand(deviceId))) {
    return false;
  }
  bool success = true;
  int repliesMaybeOwed = 0;
  bool comparedOutOfStep = false;
  env.clock.SleepMs(kAfterHandshakeMs);
  env.view.SetProgressMaximum(Bar::Verify, state.blockCount);
  for (int block = 0; block < state.blockCount; ++block) {
    const std::string command = ReadBackCommand(deviceId, block);
    const std::string expected = BlockDataText(state.blockTable.Block(block));
    comparedOutOfStep = comparedOutOfStep || repliesMaybeOwed > 0;
    if (!ExchangeBlock(exchange, command, env, repliesMaybeOwed)) {
      success = false;
      break;
    }
    const std::string& reply = exchange.ResponseText();
    const std::string_view data =
        reply.size() > kReadBackDataOffset
            ? std::string_view(reply).substr(kReadBackDataOffset, kBlockTextSize)
            : std::string_view();
    if (data != expected) {
      success = false;
      break;
    }
    env.view.SetProgressPosition(Bar::Verify, block);
  }
  if (success && comparedOutOfStep && exchange.ReplyArrivesUnasked()) {
    success = false;
  }
  env.view.SetProgressPosition(Bar::Verify, state.blockCount);
  return success;
}

}  // namespace

UpgradeResult UpgradeSequence(const std::string& deviceId, const DeviceState& state,
                              Environment& env) {
  UpgradeView& view = env.view;
  link::Clock& clock = env.clock;

  view.SetWindowEnabled(false);
  view.SetHourglass(true);
  view.Pump();
  view.SetProgressPosition(Bar::Program, 0);
  view.SetProgressPosition(Bar::Verify, 0);

  UpgradeResult result = UpgradeResult::UpgradeOk;
  auto transport = env.openLink(state.link);
  if (!transport) {
    view.SetIndicator(Indicator::Red);
    view.ShowMessage(text::msg::kOpenPortError, {});
    view.Tone(300, 300);
    result = UpgradeResult::LinkNotOpened;
  } else {
    link::CommandExchange exchange(*transport, clock);

    view.ShowMessage(text::msg::kProgramming, {});
    view.Pump();
    view.SetBusy(1);
    clock.SleepMs(kBeforeHandshakeMs);
    if (!ProgramBlocks(exchange, deviceId, state, env)) {
      transport->Close();
      view.ShowMessage(text::msg::kProgramError, {});
      view.SetBusy(0);
      view.SetIndicator(Indicator::Red);
      view.SetHourglass(false);
      view.Pump();
      view.Tone(300, 300);
      view.SetWindowEnabled(true);
      result = UpgradeResult::ProgramFailed;
    } else {
      view.ShowMessage(text::msg::kProgramOk, {});
      view.SetBusy(0);
      view.SetIndicator(Indicator::Yellow);
      view.Tone(1000, 100);

      view.ShowMessage(text::msg::kVerifying, {});
      view.Pump();
      clock.SleepMs(kBeforeHandshakeMs);
      if (!VerifyBlocks(exchange, deviceId, state, env)) {
        view.ShowMessage(text::msg::kVerifyError, {});
        view.SetIndicator(Indicator::Red);
        view.SetBusy(0);
        view.Tone(300, 300);
        result = UpgradeResult::VerifyFailed;
      } else {
        view.ShowMessage(text::msg::kVerifyOk, {});
        view.Pump();
        clock.SleepMs(kBeforeRunMs);
        view.ShowMessage(text::msg::kUpgrading, {});
        view.Pump();
        if (state.deviceFamily == image::kDeviceFamily) {
          // Whatever the device answers, it is now starting the new
          // firmware; give it the time it needs before anything else.
          exchange.ExchangeCommand(RunCommand(deviceId));
          clock.SleepMs(kRunWaitMs);
        }
        view.ShowMessage(text::msg::kUpgradeOk, {});
        view.SetIndicator(Indicator::Yellow);
        view.SetBusy(0);
        view.Tone(1000, 300);
      }
      transport->Close();
    }
  }

  view.SetHourglass(false);
  view.Pump();
  view.SetWindowEnabled(true);
  return result;
}

}  // namespace ql::upgrade
