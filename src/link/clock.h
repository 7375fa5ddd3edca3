// Time as the link and the procedures see it: a 32-bit millisecond counter
// that wraps, and pauses. Tests replace it with a virtual clock.
#pragma once

#include <cstdint>

namespace ql::link {

class Clock {
 public:
  virtual ~Clock() = default;

  // Milliseconds from an arbitrary origin; wraps from 2^32 - 1 to 0.
  virtual std::uint32_t NowMs() = 0;

  // Blocks the calling thread for `ms` milliseconds.
  virtual void SleepMs(std::uint32_t ms) = 0;
};

// Milliseconds from `start` to `now`, counted across the counter's wrap.
inline std::uint32_t ElapsedMs(std::uint32_t start, std::uint32_t now) {
  return now - start;
}

// The real clock: the monotonic system clock.
class SystemClock final : public Clock {
 public:
  std::uint32_t NowMs() override;
  void SleepMs(std::uint32_t ms) override;
};

}  // namespace ql::link
