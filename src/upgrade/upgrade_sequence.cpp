// The upgrade sequence: write every block, read every block back and compare
// it, then tell the device to run the new firmware. A phase that fails stops
// the sequence; the device is told to run only an image that compared equal.
#include <utility>

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

// At most this many times in a row may the link be brought back in step
// without one more block verified; a link that keeps falling out of step
// fails verification.
constexpr int kMaxResyncsWithoutProgress = 5;

// One block command with up to five tries; the caller has made the pause the
// device needs before it. The display catches up before each try; a failed
// try is followed by a pause, the last one too. Adds the failed tries to
// `failedTries`.
bool ExchangeBlock(link::CommandExchange& exchange, const std::string& command, Environment& env,
                   int& failedTries) {
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
    env.clock.SleepMs(kBeforeBlockMs);
    if (!ExchangeBlock(exchange, command, env, failedTries)) {
      success = false;
      break;
    }
    env.view.SetProgressPosition(Bar::Program, block);
  }
  env.view.SetProgressPosition(Bar::Program, state.blockCount);
  return success;
}

bool ReadBackMatches(const std::string& reply, const std::string& expected) {
  const std::string_view data =
      reply.size() > kReadBackDataOffset
          ? std::string_view(reply).substr(kReadBackDataOffset, kBlockTextSize)
          : std::string_view();
  return data == expected;
}

// Reads every block back and compares it with the image; on success the
// pause before the run command has passed as well.
//
// Replies carry no address, and a reply that comes after its window is read
// by the next exchange. So a late, lost, cut, duplicated or coalesced reply
// can leave later replies behind their requests, and where neighbouring
// blocks hold the same data (the 0xFF tail of most images) a block compared
// with another block's reply passes without having been read at all.
//
// A block therefore counts as verified only when its reply can have been
// nothing but the answer to its own read-back. The link is known to be in
// step after a whole reply window without a byte, and it stays so while
// exchanges go cleanly (first try, nothing before the frame, nothing after
// it) and no byte is waiting when the next request is due. Any sign of the
// opposite - a failed try, stray or dropped bytes, bytes waiting before a
// request or before the run command - brings the link back in step and reads
// again every block compared since it was last known in step. Right after
// the link has fallen quiet nothing can be owed, so the first reply then is
// the request's own even when noise came with it. A clean phase sends exactly
// what it always did, at the same times; the checks above only look.
bool VerifyBlocks(link::CommandExchange& exchange, const std::string& deviceId,
                  const DeviceState& state, Environment& env) {
  if (state.deviceFamily != image::kDeviceFamily) {
    return false;
  }
  // A reply still owed from programming would otherwise answer the handshake.
  if (exchange.InputWaiting() && !exchange.Resync()) {
    return false;
  }
  if (!exchange.ExchangeCommand(HandshakeCommand(deviceId))) {
    return false;
  }
  bool outOfStep = exchange.LastNotes().Disturbed();
  env.clock.SleepMs(kAfterHandshakeMs);
  env.view.SetProgressMaximum(Bar::Verify, state.blockCount);

  bool success = false;
  bool resynced = false;  // nothing has been sent since the link fell quiet
  int block = 0;          // the block to read next
  int inStepFrom = 0;     // every block before it is verified
  int shown = -1;         // the bar never moves back while blocks are read again
  int resyncs = 0;        // since inStepFrom last moved on
  auto verified = [&](int upTo) {
    if (upTo > inStepFrom) {
      inStepFrom = upTo;
      resyncs = 0;
    }
  };
  while (true) {
    if (block == state.blockCount) {
      env.clock.SleepMs(kBeforeRunMs);
      if (!outOfStep && !exchange.InputWaiting()) {
        success = true;
        break;
      }
      outOfStep = true;
    } else {
      env.clock.SleepMs(kBeforeBlockMs);
      if (!outOfStep) {
        outOfStep = exchange.InputWaiting();
        if (!outOfStep) {
          verified(block);
        }
      }
    }
    if (outOfStep) {
      if (++resyncs > kMaxResyncsWithoutProgress || !exchange.Resync()) {
        break;
      }
      outOfStep = false;
      resynced = true;
      block = inStepFrom;
      continue;
    }

    int failedTries = 0;
    const bool firstAfterResync = std::exchange(resynced, false);
    if (!ExchangeBlock(exchange, ReadBackCommand(deviceId, block), env, failedTries)) {
      break;
    }
    if (failedTries > 0 || (exchange.LastNotes().Disturbed() && !firstAfterResync)) {
      // Which request this reply answers is not known: do not compare it.
      outOfStep = true;
      continue;
    }
    if (!ReadBackMatches(exchange.ResponseText(), BlockDataText(state.blockTable.Block(block)))) {
      break;
    }
    if (exchange.LastNotes().Disturbed()) {
      // The reply was the block's own, but what came with it leaves the link
      // out of step for the next one.
      verified(block + 1);
      outOfStep = true;
    }
    if (block > shown) {
      env.view.SetProgressPosition(Bar::Verify, block);
      shown = block;
    }
    ++block;
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
        // The pause before the run command has passed inside the
        // verification, which looks for late replies during it.
        view.ShowMessage(text::msg::kVerifyOk, {});
        view.Pump();
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
