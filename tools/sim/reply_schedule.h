// When each byte of a reply is due on the link: one character time after the
// one before from the reply's start, as from a UART, with an optional pause
// that holds one byte and every byte after it back. Unpaced (no character
// time), every byte is due at the start, and those from the pause on the
// pause later.
#pragma once

#include <chrono>
#include <cstddef>

namespace ql::sim {

struct ReplySchedule {
  using Time = std::chrono::steady_clock::time_point;

  Time start;
  std::chrono::nanoseconds byteTime{0};
  std::size_t length = 0;
  std::size_t pauseAt = 0;  // the first byte held back
  std::chrono::nanoseconds pause{0};

  // Byte `index` is due once its last bit is on the line: start + (index + 1)
  // character times, plus the pause from pauseAt on.
  Time Due(std::size_t index) const;

  // How many bytes, counted from the first, are due at `now`.
  std::size_t DueCount(Time now) const;
};

}  // namespace ql::sim
