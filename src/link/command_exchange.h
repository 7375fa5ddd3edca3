// One command to the device and its one reply.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "link/clock.h"
#include "link/reply_framer.h"
#include "link/transport.h"

namespace ql::link {

inline constexpr std::uint32_t kReplyWindowMs = 300;

// The exchange state of one open link. Nothing is purged between exchanges:
// a reply that arrives after its window is the first thing the next exchange
// reads.
class CommandExchange {
 public:
  CommandExchange(Transport& transport, Clock& clock);

  // Frames `payload` (at most 1493 bytes; a longer one is not sent and gives
  // false), sends it and waits for one reply frame. True only when a complete
  // frame arrived within the reply window and its CRC is right. False when
  // the window ended first, or at once when the first complete frame fails
  // the check.
  bool ExchangeCommand(std::string_view payload);

  // Listens for one reply window without sending anything, by the same
  // rules. True when a complete reply frame arrived meanwhile, whatever its
  // CRC: a reply owed to an earlier command was still on its way.
  bool ReplyArrivesUnasked();

  // The last complete reply frame, accepted or not, cut at its first zero byte.
  const std::string& ResponseText() const { return framer_.ResponseText(); }

  // Length of the last accepted frame, start byte through CR. After a
  // time-out: the bytes stored since the last start byte (or wrap).
  std::int32_t ReplyLength() const { return framer_.ReplyLength(); }

 private:
  enum class Reply { None, Accepted, Rejected };

  // Waits for one reply frame within the reply window.
  Reply AwaitReply();

  Transport& transport_;
  Clock& clock_;
  ReplyFramer framer_;
};

}  // namespace ql::link
