// What an exchange sees besides its result, and a way to watch every frame on
// a link (the command-line program's trace).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace ql::link {

// The signs, beyond its result, that replies on the link may no longer answer
// the requests they follow.
struct ExchangeNotes {
  // Bytes received that were not part of the frame that ended the exchange:
  // noise, or a reply cut short or restarted. Every byte of an exchange that
  // ended without a frame counts.
  std::size_t strayBytes = 0;
  // Bytes of the last TCP read after the completing CR, which are dropped.
  std::size_t droppedBytes = 0;
  // Whether a reply start byte was among the stray or dropped bytes: part of
  // a reply other than the one that ended the exchange came with it.
  bool otherFrame = false;
  // The exact copy of the request that came back before anything else (a
  // half-duplex adapter echoes what the host sends) and was removed: the
  // link's, not the device's, so it disturbs nothing.
  std::size_t echoBytes = 0;

  bool Disturbed() const { return strayBytes > 0 || droppedBytes > 0; }
  // Disturbed, but only by bytes that cannot be a reply: noise, or a byte put
  // on the line as its direction turns.
  bool OnlyNoise() const { return Disturbed() && !otherFrame; }
};

enum class ExchangeVerdict {
  Accepted,  // a complete frame with the right CRC
  BadCrc,    // a complete frame that failed the check
  NoReply,   // the window ended without a complete frame
};

// Told of everything an exchange sends and receives, in order, on the thread
// that runs the exchange.
class ExchangeObserver {
 public:
  virtual ~ExchangeObserver() = default;

  virtual void FrameSent(std::span<const std::uint8_t> frame) = 0;
  // Everything the exchange read, through the CR that ended it; bytes dropped
  // after that CR are only counted in the notes.
  virtual void BytesReceived(std::span<const std::uint8_t> bytes) = 0;
  virtual void ExchangeEnded(ExchangeVerdict verdict, const ExchangeNotes& notes) = 0;
  // Bytes read and thrown away while the link was brought back in step, and
  // whether it fell quiet.
  virtual void LinkResynced(std::span<const std::uint8_t> discarded, bool quiet) = 0;
};

}  // namespace ql::link
