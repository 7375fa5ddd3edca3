// The exchanges of single blocks that the upgrade sequence, the check of a
// device's flash and the read of a device's flash share: a block command with
// its five tries, and reading blocks back so that each reply can only be its
// own block's.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "link/command_exchange.h"
#include "upgrade/procedures.h"

namespace ql::upgrade {

// The device needs these pauses between commands.
inline constexpr std::uint32_t kBeforeHandshakeMs = 100;
inline constexpr std::uint32_t kAfterHandshakeMs = 50;
inline constexpr std::uint32_t kBeforeBlockMs = 4;
inline constexpr std::uint32_t kAfterFailedTryMs = 50;
inline constexpr std::uint32_t kBeforeRunMs = 50;
inline constexpr int kBlockTries = 5;
// A handshake reply counts only at exactly this length, start byte through CR.
inline constexpr std::int32_t kHandshakeReplyLength = 29;

enum class HandshakeEnd { Answered, NoAnswer, LinkLost, Interrupted };

// Puts the lost link into the report when the exchange's link is gone.
// True when it is.
bool NoteLinkLost(const link::CommandExchange& exchange, Environment& env);

// Finds the device as the connect procedure does: up to three handshakes,
// each after a pause, until one brings a reply of exactly 29 bytes; after
// each failed attempt the status shows the countdown 9, 8, 7. A link that
// goes away ends the search at once (LinkLost, in the report too).
HandshakeEnd FindDevice(link::CommandExchange& exchange, const std::string& deviceId,
                        Environment& env);

// The device information of an accepted handshake reply: positions 8 to 23.
std::string DeviceInformation(const std::string& reply);

enum class BlockEnd { Accepted, Refused, LinkLost, Interrupted };

// One block command with up to five tries; the caller has made the pause the
// device needs before it. The display catches up before each try; a failed
// try is followed by a pause, the last one too. Adds the failed tries to
// `failedTries`. Interrupted when a stop was requested before a try;
// LinkLost at once, without further tries or pause, when the link has gone
// away (the try that found it is not counted; the report says why).
BlockEnd ExchangeBlock(link::CommandExchange& exchange, const std::string& command,
                       Environment& env, int& failedTries);

enum class ReadBackEnd {
  Done,         // every block taken; the pause before a run command has passed
  NoReply,      // a block was not answered in five tries
  NeverInStep,  // the link could not be brought back in step
  Rejected,     // `take` refused a block's data
  LinkLost,     // the link went away; the report says why
  Interrupted,  // a stop was requested
};

// What is done with a block's data, the 1024 characters at positions 8 to
// 1031 of its reply (fewer when the reply is shorter): compare or keep it.
// False ends the read-back.
using TakeBlock = std::function<bool(int block, std::string_view data)>;

// Reads blocks 0 to blockCount - 1 back after a handshake, moving the verify
// bar, and hands each block's data to `take` only when its reply can have
// been nothing but the answer to its own read-back; ends with the pause
// before the run command and a last look for late replies. `outOfStep`: the
// handshake's exchange was disturbed. Fills the report's block, tries and
// blocksDone.
ReadBackEnd ReadBackBlocks(link::CommandExchange& exchange, const std::string& deviceId,
                           int blockCount, bool outOfStep, Environment& env, const TakeBlock& take);

}  // namespace ql::upgrade
