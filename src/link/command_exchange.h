// One command to the device and its one reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "link/clock.h"
#include "link/reply_framer.h"
#include "link/transport.h"

namespace ql::link {

inline constexpr std::uint32_t kReplyWindowMs = 300;
// How long bringing the link back in step may take before the link counts as
// one that never falls quiet.
inline constexpr std::uint32_t kResyncLimitMs = 3000;

// The exchange state of one open link. Nothing is purged between exchanges:
// a reply that arrives after its window is the first thing the next exchange
// reads.
// What became of the last exchange, beyond its result: the signs that the
// replies on the link may no longer answer the requests they follow.
struct ExchangeNotes {
  // Bytes received that were not part of the frame that ended the exchange:
  // noise, or a reply cut short or restarted. Every byte of an exchange that
  // ended without a frame counts.
  std::size_t strayBytes = 0;
  // Bytes of the last TCP read after the completing CR, which are dropped.
  std::size_t droppedBytes = 0;

  bool Disturbed() const { return strayBytes > 0 || droppedBytes > 0; }
};

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

  // What the last ExchangeCommand saw besides its frame.
  const ExchangeNotes& LastNotes() const { return notes_; }

  // Whether bytes are waiting on the link now, before anything is sent: a
  // look that never waits.
  bool InputWaiting() { return transport_.InputWaiting(); }

  // Brings the link back in step: reads and discards whatever arrives until
  // no byte at all has come for one whole reply window, so that no reply to
  // an earlier request can still be on its way. False when the link has not
  // fallen quiet within kResyncLimitMs. Sends nothing.
  bool Resync();

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
  ExchangeNotes notes_;
};

}  // namespace ql::link
