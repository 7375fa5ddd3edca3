// An open link to the device: one interface for the serial port, the TCP
// connection and the tests' scripted link.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "link/link_settings.h"

namespace ql::link {

// What a read brought.
struct ReadResult {
  // Bytes read; 0 when none came within the wait.
  std::size_t count = 0;
  // The link is gone for good: the port hung up or went away, or the peer
  // closed or reset the connection. Said at once, without waiting, and by
  // every read after it; no byte will come any more.
  bool gone = false;
};

// What became of a write.
enum class WriteResult {
  Sent,     // every byte was handed to the link
  NotSent,  // the link took too long to take them (a blocked line, a peer
            // that accepts nothing); the exchange then simply sees no reply
  Gone,     // the link is gone, as a read says it
};

class Transport {
 public:
  virtual ~Transport() = default;

  // Which link this is; the exchange reads replies by that kind's rules.
  virtual LinkKind Kind() const = 0;

  // Hands all bytes to the link in one write.
  virtual WriteResult Write(std::span<const std::uint8_t> bytes) = 0;

  // Waits at most `wait` for bytes to arrive, then reads what is there, up to
  // into.size() bytes. A count of 0 after the whole wait means nothing came;
  // a link that is gone says so at once instead (bytes that arrived before
  // it went are handed out first). A link that was closed here reads nothing
  // for the whole wait. The wait is in microseconds: on a serial line a
  // pause that ends a reply can be a fraction of a millisecond longer than a
  // whole one.
  virtual ReadResult Read(std::span<std::uint8_t> into, std::chrono::microseconds wait) = 0;

  // Why the link is gone, in the system's words ("Input/output error",
  // "Connection reset by peer", "the port hung up"); empty while it is not.
  virtual std::string GoneReason() const = 0;

  // How long one character lasts on the line at the port's rate (start bit,
  // data bits, parity bit and stop bits over the baud rate), as the port is
  // set while the link is open. Zero for a link without a line rate (TCP).
  virtual std::chrono::nanoseconds CharacterTime() const = 0;

  // Whether received bytes are waiting to be read, without waiting for any:
  // a look at what has arrived by now. A link that has failed or whose peer
  // went away has none.
  virtual bool InputWaiting() = 0;

  // Releases the link; what was opened is put back as it was found where the
  // platform allows. Calling it again does nothing. The destructor closes too.
  virtual void Close() = 0;
};

}  // namespace ql::link
