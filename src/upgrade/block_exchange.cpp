// Block commands with their tries, and reading blocks back in step.
//
// Replies carry no address, and a reply that comes after its window is read
// by the next exchange. So a late, lost, cut, duplicated or coalesced reply
// can leave later replies behind their requests, and where neighbouring
// blocks hold the same data (the 0xFF tail of most images) a block compared
// with another block's reply passes without having been read at all.
//
// A block's reply is therefore used only when it can have been nothing but
// the answer to its own read-back. The link is known to be in step after a
// whole reply window without a byte, and it stays so while exchanges go
// cleanly (first try, nothing before the frame, nothing after it) and no byte
// is waiting when the next request is due. Any sign of the opposite - a
// failed try, stray or dropped bytes, a second reply, bytes waiting before a
// request - brings the link back in step and reads again every block read
// since it was last known in step. Right after the link has fallen quiet
// nothing can be owed, so the first reply then is the request's own even when
// noise came with it; but only noise: a second reply, or part of one, in that
// exchange or thrown away by the next resync, means the block is read again.
// An exact echo of the request (a half-duplex adapter) is removed by the
// exchange and disturbs nothing.
//
// On a link whose round trip is a large part of the window, a reply can still
// be in flight when the next look finds nothing waiting. So before the run
// command the link must stay quiet for a whole reply window after the last
// read-back reply; a byte then brings it back in step and reads again. So
// must it after a reply whose data differs before that ends the read-back:
// a stale copy of an earlier reply is followed by the block's own. A
// clean read-back sends exactly what it always did, at the same times, up to
// that last look; the checks above only look.
#include "upgrade/block_exchange.h"

#include <cstdio>
#include <utility>

#include "text/message_table.h"
#include "upgrade/device_commands.h"

namespace ql::upgrade {
namespace {

// Positions 8 to 1031 of a read-back reply hold the block's data.
constexpr std::size_t kReadBackDataOffset = 7;

// At most this many times in a row may the link be brought back in step
// without one more block read; a link that keeps falling out of step ends
// the read-back.
constexpr int kMaxResyncsWithoutProgress = 5;
// At most this many times may replies that came too late send the read-back
// back to where the link last fell quiet.
constexpr int kMaxRewinds = 3;

constexpr int kHandshakeAttempts = 3;
// The device information: positions 8 to 23 of the handshake reply.
constexpr std::size_t kDeviceInfoOffset = 7;
constexpr std::size_t kDeviceInfoLength = 16;

// What the status panel shows after a failed attempt: " ( 9 )", " ( 8 )", " ( 7 )".
std::string Countdown(int attempt) {
  char text[32];
  std::snprintf(text, sizeof text, " ( %d )", 9 - attempt);
  return text;
}

std::string_view ReadBackData(const std::string& reply) {
  return reply.size() > kReadBackDataOffset
             ? std::string_view(reply).substr(kReadBackDataOffset, kBlockTextSize)
             : std::string_view();
}

}  // namespace

HandshakeEnd FindDevice(link::CommandExchange& exchange, const std::string& deviceId,
                        Environment& env) {
  for (int attempt = 0; attempt < kHandshakeAttempts; ++attempt) {
    if (env.StopRequested()) {
      return HandshakeEnd::Interrupted;
    }
    env.clock.SleepMs(kBeforeHandshakeMs);
    if (exchange.ExchangeCommand(HandshakeCommand(deviceId)) &&
        exchange.ReplyLength() == kHandshakeReplyLength) {
      return HandshakeEnd::Answered;
    }
    env.view.ShowMessage(text::msg::kConnecting, Countdown(attempt));
    env.view.Pump();
  }
  return HandshakeEnd::NoAnswer;
}

std::string DeviceInformation(const std::string& reply) {
  return reply.size() > kDeviceInfoOffset ? reply.substr(kDeviceInfoOffset, kDeviceInfoLength)
                                          : std::string();
}

BlockEnd ExchangeBlock(link::CommandExchange& exchange, const std::string& command,
                       Environment& env, int& failedTries) {
  for (int attempt = 0; attempt < kBlockTries; ++attempt) {
    if (env.StopRequested()) {
      return BlockEnd::Interrupted;
    }
    env.view.Pump();
    if (exchange.ExchangeCommand(command)) {
      return BlockEnd::Accepted;
    }
    ++failedTries;
    env.clock.SleepMs(kAfterFailedTryMs);
  }
  return BlockEnd::Refused;
}

ReadBackEnd ReadBackBlocks(link::CommandExchange& exchange, const std::string& deviceId,
                           int blockCount, bool outOfStep, Environment& env,
                           const TakeBlock& take) {
  env.clock.SleepMs(kAfterHandshakeMs);
  env.view.SetProgressMaximum(Bar::Verify, blockCount);

  bool resynced = false;  // nothing has been sent since the link fell quiet
  int noisyTaken = -1;    // a block taken with noise, kept if the resync finds no reply
  int block = 0;          // the block to read next
  int inStepFrom = 0;     // every block before it has been taken
  int quietFrom = 0;      // the first block read since the link last fell quiet
  bool rewind = false;    // read again from quietFrom, not only from inStepFrom
  int rewinds = 0;
  int shown = -1;   // the bar never moves back while blocks are read again
  int resyncs = 0;  // since inStepFrom last moved on
  auto report = [&env, &inStepFrom](int inHand, int tries) {
    if (env.report != nullptr) {
      env.report->block = inHand;
      env.report->tries = tries;
      env.report->blocksDone = inStepFrom;
    }
  };
  auto taken = [&](int upTo) {
    if (upTo > inStepFrom) {
      inStepFrom = upTo;
      resyncs = 0;
    }
  };
  std::string command;  // built before the pause, so the request follows it at once
  while (true) {
    if (block == blockCount) {
      env.clock.SleepMs(kBeforeRunMs);
      if (!outOfStep) {
        if (!exchange.InputWaiting() && exchange.QuietForWindowAfterReply()) {
          taken(blockCount);
          report(-1, 0);
          return ReadBackEnd::Done;
        }
        rewind = true;
      }
      outOfStep = true;
    } else {
      command = ReadBackCommand(deviceId, block);
      env.clock.SleepAfterMarkMs(kBeforeBlockMs);
      if (!outOfStep) {
        outOfStep = exchange.InputWaiting();
        if (!outOfStep) {
          taken(block);
        }
      }
    }
    if (outOfStep) {
      if (env.StopRequested()) {
        report(block, 0);
        return ReadBackEnd::Interrupted;
      }
      if (rewind) {
        // Replies came after the ones taken: how long they have been behind
        // their requests is not known, so nothing since the link last fell
        // quiet counts as taken.
        rewind = false;
        inStepFrom = quietFrom;
        noisyTaken = -1;
        if (++rewinds > kMaxRewinds) {
          report(block < blockCount ? block : inStepFrom, 0);
          return ReadBackEnd::NeverInStep;
        }
      }
      if (++resyncs > kMaxResyncsWithoutProgress || !exchange.Resync()) {
        report(block < blockCount ? block : inStepFrom, 0);
        return ReadBackEnd::NeverInStep;
      }
      if (noisyTaken >= 0 && !exchange.ResyncDiscardedReply()) {
        taken(noisyTaken + 1);
      }
      noisyTaken = -1;
      outOfStep = false;
      resynced = true;
      block = inStepFrom;
      quietFrom = inStepFrom;
      continue;
    }

    int failedTries = 0;
    const bool firstAfterResync = std::exchange(resynced, false);
    switch (ExchangeBlock(exchange, command, env, failedTries)) {
      case BlockEnd::Accepted:
        break;
      case BlockEnd::Refused:
        report(block, failedTries);
        return ReadBackEnd::NoReply;
      case BlockEnd::Interrupted:
        report(block, failedTries);
        return ReadBackEnd::Interrupted;
    }
    const link::ExchangeNotes& notes = exchange.LastNotes();
    if (failedTries > 0 || (notes.Disturbed() && !(firstAfterResync && notes.OnlyNoise()))) {
      // Which request this reply answers is not known: do not use it.
      outOfStep = true;
      continue;
    }
    if (!take(block, ReadBackData(exchange.ResponseText()))) {
      // Data that differs ends the read-back only when the reply can have
      // been nothing but the block's own: nothing may follow it for a whole
      // window. A stale copy of an earlier reply is followed by the real one.
      if (!exchange.InputWaiting() && exchange.QuietForWindowAfterReply()) {
        report(block, 0);
        return ReadBackEnd::Rejected;
      }
      if (env.report != nullptr) {
        env.report->mismatch = false;
      }
      rewind = true;
      outOfStep = true;
      continue;
    }
    if (notes.Disturbed()) {
      // Nothing was owed, so this was the block's own reply unless another
      // one follows it; the resync that the noise calls for tells.
      noisyTaken = block;
      outOfStep = true;
    }
    if (block > shown) {
      env.view.SetProgressPosition(Bar::Verify, block);
      shown = block;
    }
    ++block;
  }
}

}  // namespace ql::upgrade
