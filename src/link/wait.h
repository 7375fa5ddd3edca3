// Bounded waits on file descriptors, shared by the serial and TCP links.
#pragma once

#include <chrono>

namespace ql::link {

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

// Waits until `fd` reports one of `events`, a hang-up or an error, or the
// deadline passes. The events it reported (POLLHUP and POLLERR among them);
// 0 when the deadline passed first.
short PollFor(int fd, short events, const Deadline& deadline);

}  // namespace ql::link
