// A moment a bounded wait must not pass, shared by the links.
#pragma once

#include <chrono>

namespace ql::link {

// Sleeps until `deadline` on the monotonic clock and never returns before
// it. Each platform's clock file brings it: a plain sleep of the standard
// library may end early or round to the system's timer tick.
void PauseUntil(std::chrono::steady_clock::time_point deadline);

// A moment on the monotonic clock that a wait must not pass.
class Deadline {
 public:
  explicit Deadline(std::chrono::nanoseconds fromNow)
      : at_(std::chrono::steady_clock::now() + fromNow) {}

  bool Passed() const { return std::chrono::steady_clock::now() >= at_; }
  // Time left, never negative.
  std::chrono::nanoseconds Left() const;
  // Sleeps until the deadline.
  void SleepOut() const;

 private:
  std::chrono::steady_clock::time_point at_;
};

}  // namespace ql::link
