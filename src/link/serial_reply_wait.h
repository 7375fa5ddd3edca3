// When a reply wait on a serial line ends: what counts as a quiet line at the
// port's rate, and the longest a wait may last.
//
// A reply that is still streaming in after the reply window must not be cut
// off, so on a serial link the window ends only at a quiet line. One
// millisecond of silence is not enough for that: at 9600 baud and below a
// single character lasts longer, and a USB adapter hands bytes over in
// bursts. A device that never stops sending must not hold the wait for ever
// either, so the wait has a hard end: the window, the time a reply of a
// whole frame buffer takes on the line, and a margin.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "link/frame.h"

namespace ql::link {

// How long one character lasts at `baud` when it takes `bits` bit times:
// start bit, data bits, parity bit and stop bits (1.5 stop bits count so).
// Zero for a baud rate of 0.
constexpr std::chrono::nanoseconds CharacterTimeAt(std::uint32_t baud, double bits) {
  return baud == 0 ? std::chrono::nanoseconds::zero()
                   : std::chrono::nanoseconds(static_cast<std::int64_t>(bits * 1e9 / baud + 0.5));
}

inline constexpr std::chrono::milliseconds kShortestQuiet{1};
inline constexpr int kQuietCharacters = 3;
inline constexpr std::chrono::milliseconds kSerialWaitMargin{100};
// Inside a reply frame (its start byte read, its CR not yet) a pause is
// longer before it ends the wait: a UART sends a frame back to back, but a
// pseudo-terminal's kernel hand-over, a USB adapter's frames and a busy host
// put pauses of several milliseconds into it.
inline constexpr std::chrono::milliseconds kShortestInFrameQuiet{20};
inline constexpr int kInFrameQuietCharacters = 10;

// No byte for this long means the line is quiet: the larger of 1 ms and
// three character times, rounded up to the microsecond.
constexpr std::chrono::microseconds QuietPeriod(std::chrono::nanoseconds characterTime) {
  return std::max<std::chrono::microseconds>(
      kShortestQuiet,
      std::chrono::ceil<std::chrono::microseconds>(kQuietCharacters * characterTime));
}

// No byte for this long ends the wait while a reply frame has begun and not
// ended: the larger of 20 ms and ten character times.
constexpr std::chrono::microseconds InFrameQuietPeriod(std::chrono::nanoseconds characterTime) {
  return std::max<std::chrono::microseconds>(
      kShortestInFrameQuiet,
      std::chrono::ceil<std::chrono::microseconds>(kInFrameQuietCharacters * characterTime));
}

// The longest a serial reply wait lasts from the send, in whole milliseconds
// of the link's clock: the reply window, the line time of a reply that fills
// the whole frame buffer (rounded up), and the margin.
constexpr std::uint32_t SerialWaitBoundMs(std::uint32_t windowMs,
                                          std::chrono::nanoseconds characterTime) {
  const auto lineTime = std::chrono::ceil<std::chrono::milliseconds>(
      static_cast<std::int64_t>(kFrameBufferSize) * characterTime);
  return windowMs + static_cast<std::uint32_t>(lineTime.count()) +
         static_cast<std::uint32_t>(kSerialWaitMargin.count());
}

}  // namespace ql::link
