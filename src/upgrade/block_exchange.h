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

inline constexpr int kHandshakeAttempts = 3;

// How the last command on `exchange` ended; a link found gone since counts
// as its end.
TryEnd LastTry(const link::CommandExchange& exchange);

enum class HandshakeEnd { Answered, NoAnswer, LinkLost, Interrupted };

struct DeviceSearch {
  HandshakeEnd end = HandshakeEnd::NoAnswer;
  int attempts = 0;  // handshakes sent
  TryEnd last;       // how the last of them ended, when it failed
};

// Finds the device as the connect procedure does: up to three handshakes,
// each after a pause, until one brings a reply of exactly 29 bytes; each
// failed attempt is told as it happens. A link that goes away ends the
// search at once.
DeviceSearch FindDevice(link::CommandExchange& exchange, const std::string& deviceId,
                        Environment& env);

// The device information of an accepted handshake reply: positions 8 to 23.
std::string DeviceInformation(const std::string& reply);

enum class BlockEnd { Accepted, Refused, LinkLost, Interrupted };

// One block command with up to five tries; the caller has made the pause the
// device needs before it. A failed try is followed by a pause, the last one
// too. Adds the failed tries to `failedTries`. Interrupted when a stop was
// requested before a try; LinkLost at once, without further tries or pause,
// when the link has gone away (the try that found it is not counted).
BlockEnd ExchangeBlock(link::CommandExchange& exchange, const std::string& command,
                       Environment& env, int& failedTries);

// What is done with a block's data, the 1024 characters at positions 8 to
// 1031 of its reply (fewer when the reply is shorter): compare or keep it.
// False ends the read-back: DataDiffers in the verify phase, Unreadable in
// the read phase.
using TakeBlock = std::function<bool(int block, std::string_view data)>;

// Reads blocks 0 to blockCount - 1 back after the phase's handshake, telling
// each block done, and hands each block's data to `take` only when its reply
// can have been nothing but the answer to its own read-back; ends with the
// pause before the run command and a last look for late replies. `outOfStep`:
// the handshake's exchange was disturbed. The end says where and why it
// stopped, or that every block was taken.
PhaseEnd ReadBackBlocks(link::CommandExchange& exchange, const std::string& deviceId, Phase phase,
                        int blockCount, bool outOfStep, Environment& env, const TakeBlock& take);

}  // namespace ql::upgrade
