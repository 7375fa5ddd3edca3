// Time as the link and the procedures see it: a 32-bit millisecond counter
// that wraps, and pauses. Tests replace it with a virtual clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace ql::link {

class Clock {
 public:
  virtual ~Clock() = default;

  // Milliseconds from an arbitrary origin; wraps from 2^32 - 1 to 0.
  virtual std::uint32_t NowMs() = 0;

  // Blocks the calling thread for `ms` milliseconds.
  virtual void SleepMs(std::uint32_t ms) = 0;

  // Blocks the calling thread until `ms` milliseconds after the mark: the
  // later of the last MarkPauseStart and the end of the last pause. The link
  // marks the end of every reply wait, so a pause taken this way is the one
  // the device sees between its reply and the next request, however long
  // the caller takes in between to update its view or build the request. A
  // mark further back than `ms` ends it at once; without a mark it counts
  // from the call.
  virtual void SleepAfterMarkMs(std::uint32_t ms) = 0;

  // Marks the moment the next SleepAfterMarkMs counts from.
  virtual void MarkPauseStart() = 0;
};

// Milliseconds from `start` to `now`, counted across the counter's wrap.
inline std::uint32_t ElapsedMs(std::uint32_t start, std::uint32_t now) {
  return now - start;
}

// The real clock: the monotonic system clock. Its pauses sleep to an
// absolute deadline with the thread's timer slack at its least, so a pause
// overshoots only by the time the system takes to wake the thread. One
// thread uses an instance at a time.
class SystemClock final : public Clock {
 public:
  std::uint32_t NowMs() override;
  void SleepMs(std::uint32_t ms) override;
  void SleepAfterMarkMs(std::uint32_t ms) override;
  void MarkPauseStart() override;

 private:
  void SleepUntil(std::chrono::steady_clock::time_point deadline);

  std::optional<std::chrono::steady_clock::time_point> mark_;
};

}  // namespace ql::link
