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

#include <utility>

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

// The device information: positions 8 to 23 of the handshake reply.
constexpr std::size_t kDeviceInfoOffset = 7;
constexpr std::size_t kDeviceInfoLength = 16;

std::string_view ReadBackData(const std::string& reply) {
  return reply.size() > kReadBackDataOffset
             ? std::string_view(reply).substr(kReadBackDataOffset, kBlockTextSize)
             : std::string_view();
}

}  // namespace

TryEnd LastTry(const link::CommandExchange& exchange) {
  if (exchange.LinkGone()) {
    return {link::ExchangeVerdict::LinkGone, 0, exchange.GoneReason()};
  }
  return {exchange.LastVerdict(), exchange.ReplyLength(), {}};
}

DeviceSearch FindDevice(link::CommandExchange& exchange, const std::string& deviceId,
                        Environment& env) {
  DeviceSearch search;
  while (search.attempts < kHandshakeAttempts) {
    if (env.StopRequested()) {
      search.end = HandshakeEnd::Interrupted;
      return search;
    }
    env.clock.SleepMs(kBeforeHandshakeMs);
    ++search.attempts;
    if (exchange.ExchangeCommand(HandshakeCommand(deviceId)) &&
        exchange.ReplyLength() == kHandshakeReplyLength) {
      search.end = HandshakeEnd::Answered;
      return search;
    }
    search.last = LastTry(exchange);
    if (exchange.LinkGone()) {
      search.end = HandshakeEnd::LinkLost;
      return search;
    }
    env.events.HandshakeFailed(search.attempts, search.last);
  }
  return search;
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
    if (exchange.ExchangeCommand(command)) {
      return BlockEnd::Accepted;
    }
    if (exchange.LinkGone()) {
      return BlockEnd::LinkLost;
    }
    ++failedTries;
    env.clock.SleepMs(kAfterFailedTryMs);
  }
  return BlockEnd::Refused;
}

PhaseEnd ReadBackBlocks(link::CommandExchange& exchange, const std::string& deviceId, Phase phase,
                        int blockCount, bool outOfStep, Environment& env, const TakeBlock& take) {
  env.clock.SleepMs(kAfterHandshakeMs);
  env.events.BlocksBegin(phase, blockCount);

  bool resynced = false;  // nothing has been sent since the link fell quiet
  int noisyTaken = -1;    // a block taken with noise, kept if the resync finds no reply
  int block = 0;          // the block to read next
  int inStepFrom = 0;     // every block before it has been taken
  int quietFrom = 0;      // the first block read since the link last fell quiet
  bool rewind = false;    // read again from quietFrom, not only from inStepFrom
  int rewinds = 0;
  int shown = -1;   // blocks are told done once, never again while read again
  int resyncs = 0;  // since inStepFrom last moved on
  const auto ended = [&](PhaseFailure failure, int at, int tries = 0) {
    PhaseEnd end;
    end.phase = phase;
    end.failure = failure;
    end.blockCount = blockCount;
    end.block = at;
    end.tries = tries;
    end.blocksDone = inStepFrom;
    if (failure == PhaseFailure::NoReply || failure == PhaseFailure::LinkLost) {
      end.lastTry = LastTry(exchange);
    }
    return end;
  };
  const auto taken = [&](int upTo) {
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
          return ended(PhaseFailure::None, -1);
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
        return ended(PhaseFailure::Stopped, block < blockCount ? block : -1);
      }
      const auto inHand = [&] { return block < blockCount ? block : inStepFrom; };
      // A look for late replies, or a reply that was not the block's own,
      // may have found the link gone: nothing can bring it back in step.
      if (exchange.LinkGone()) {
        return ended(PhaseFailure::LinkLost, inHand());
      }
      if (rewind) {
        // Replies came after the ones taken: how long they have been behind
        // their requests is not known, so nothing since the link last fell
        // quiet counts as taken.
        rewind = false;
        inStepFrom = quietFrom;
        noisyTaken = -1;
        if (++rewinds > kMaxRewinds) {
          return ended(PhaseFailure::OutOfStep, inHand());
        }
      }
      if (++resyncs > kMaxResyncsWithoutProgress) {
        return ended(PhaseFailure::OutOfStep, inHand());
      }
      if (!exchange.Resync()) {
        return ended(exchange.LinkGone() ? PhaseFailure::LinkLost : PhaseFailure::NeverQuiet,
                     inHand());
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
        return ended(PhaseFailure::NoReply, block, failedTries);
      case BlockEnd::LinkLost:
        return ended(PhaseFailure::LinkLost, block, failedTries);
      case BlockEnd::Interrupted:
        return ended(PhaseFailure::Stopped, block, failedTries);
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
        return ended(phase == Phase::Read ? PhaseFailure::Unreadable : PhaseFailure::DataDiffers,
                     block);
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
      env.events.BlockDone(phase, block);
      shown = block;
    }
    ++block;
  }
}

}  // namespace ql::upgrade
