// An open link to the device: one interface for the serial port, the TCP
// connection and the tests' scripted link.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "settings/link_settings.h"

namespace ql::link {

class Transport {
 public:
  virtual ~Transport() = default;

  // Which link this is; the exchange reads replies by that kind's rules.
  virtual settings::LinkKind Kind() const = 0;

  // Hands all bytes to the link in one write. A failed or short write is not
  // reported: the exchange then simply sees no reply.
  virtual void Write(std::span<const std::uint8_t> bytes) = 0;

  // Waits at most `wait` for bytes to arrive, then reads what is there, up to
  // into.size() bytes. Returns the count read; 0 when nothing came in that
  // time. A link that has failed or whose peer went away also returns 0, but
  // only after `wait` has passed, so a caller never spins on a dead link.
  // The wait is in microseconds: on a serial line a pause that ends a reply
  // can be a fraction of a millisecond longer than a whole one.
  virtual std::size_t Read(std::span<std::uint8_t> into, std::chrono::microseconds wait) = 0;

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
