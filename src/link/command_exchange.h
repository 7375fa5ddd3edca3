// One command to the device and its one reply.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "link/clock.h"
#include "link/exchange_observer.h"
#include "link/reply_framer.h"
#include "link/transport.h"

namespace ql::link {

inline constexpr std::uint32_t kReplyWindowMs = 300;
// How long bringing the link back in step may take before the link counts as
// one that never falls quiet: at least this, and on a slow serial line long
// enough for two replies of a whole frame buffer, the one under way and one
// owed behind it, and a quiet window after them (ResyncLimitMs).
inline constexpr std::uint32_t kResyncLimitMs = 3000;
std::uint32_t ResyncLimitMs(std::chrono::nanoseconds characterTime);

// The exchange state of one open link. Nothing is purged between exchanges:
// a reply that arrives after its window is the first thing the next exchange
// reads.
class CommandExchange {
 public:
  CommandExchange(Transport& transport, Clock& clock);

  // Tells `observer` (nullptr: nobody) of every frame sent and received.
  void SetObserver(ExchangeObserver* observer) { observer_ = observer; }

  // Frames `payload` (at most 1493 bytes; a longer one is not sent and gives
  // false), sends it and waits for one reply frame. True only when a complete
  // frame arrived within the reply window and its CRC is right. False when
  // the window ended first, or at once when the first complete frame fails
  // the check or the link is gone (LinkGone says which).
  bool ExchangeCommand(std::string_view payload);

  // Whether the link has gone away: the port hung up or was removed, or the
  // peer closed or reset the connection. From then on every exchange,
  // resync and look fails at once and sends nothing.
  bool LinkGone() const { return !goneReason_.empty(); }
  // Why, in the system's words; empty while the link is there.
  const std::string& GoneReason() const { return goneReason_; }

  // What the last ExchangeCommand saw besides its frame.
  const ExchangeNotes& LastNotes() const { return notes_; }

  // How the last ExchangeCommand ended.
  ExchangeVerdict LastVerdict() const { return verdict_; }

  // Whether bytes are waiting on the link now, before anything is sent: a
  // look that never waits.
  bool InputWaiting() { return transport_.InputWaiting(); }

  // Brings the link back in step: reads and discards whatever arrives until
  // no byte at all has come for one whole reply window, so that no reply to
  // an earlier request can still be on its way. False when the link has not
  // fallen quiet within ResyncLimitMs, or is gone. Sends nothing.
  bool Resync();

  // Whether the last Resync threw away a reply start byte: part of a reply
  // was still on its way.
  bool ResyncDiscardedReply() const { return resyncDiscardedReply_; }

  // Waits until one whole reply window has passed since the last reply wait
  // ended. True when no byte came in that time; false as soon as one does
  // (it is kept for the next Resync to throw away), or the link is found
  // gone. On a link whose round
  // trip is a large part of the window, a reply still in flight shows here
  // and nowhere else.
  bool QuietForWindowAfterReply();

  // The last complete reply frame, accepted or not, cut at its first zero byte.
  const std::string& ResponseText() const { return framer_.ResponseText(); }

  // Length of the last accepted frame, start byte through CR. After a
  // time-out: the bytes stored since the last start byte (or wrap).
  std::int32_t ReplyLength() const { return framer_.ReplyLength(); }

 private:
  enum class Reply { None, Accepted, Rejected, Gone };

  // Waits for one reply frame within the reply window; an exact copy of
  // `request` at the start of what arrives is removed first.
  Reply AwaitReply(const std::vector<std::uint8_t>& request);
  // Tells the observer what the exchange just received and how it ended.
  Reply Report(Reply reply);
  // Whether `read` says the link is gone; the first time, takes the
  // transport's reason and tells the observer.
  bool Gone(const ReadResult& read);
  void NoteGone();

  Transport& transport_;
  Clock& clock_;
  ReplyFramer framer_;
  ExchangeNotes notes_;
  ExchangeVerdict verdict_ = ExchangeVerdict::NoReply;
  ExchangeObserver* observer_ = nullptr;
  // What the current exchange has read, kept only while someone observes.
  std::vector<std::uint8_t> received_;
  // When the last reply wait ended, on clock_.
  std::uint32_t replyWaitEndMs_ = 0;
  // Read by QuietForWindowAfterReply, for the next Resync to discard.
  std::vector<std::uint8_t> heldOver_;
  bool resyncDiscardedReply_ = false;
  std::string goneReason_;
};

}  // namespace ql::link
