// The real millisecond counter and sleep.
#include "link/clock.h"

#include <sys/prctl.h>
#include <time.h>

#include <cerrno>

namespace ql::link {
namespace {

// The kernel may let a timer fire this much late to merge wake-ups; the
// default, 50 us, is a tenth of a character at 19200 baud and a visible
// share of the 4 ms between blocks.
constexpr unsigned long kTimerSlackNs = 1;

void LeastTimerSlack() {
  thread_local const bool set = ::prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0) == 0;
  (void)set;
}

timespec ToTimespec(std::chrono::steady_clock::time_point at) {
  const auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
  return timespec{.tv_sec = static_cast<time_t>(ns / 1'000'000'000),
                  .tv_nsec = static_cast<long>(ns % 1'000'000'000)};
}

}  // namespace

std::uint32_t SystemClock::NowMs() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void SystemClock::SleepMs(std::uint32_t ms) {
  LeastTimerSlack();
  const auto start = pauseStart_.value_or(std::chrono::steady_clock::now());
  pauseStart_.reset();
  // steady_clock is CLOCK_MONOTONIC on Linux.
  const timespec deadline = ToTimespec(start + std::chrono::milliseconds(ms));
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

void SystemClock::MarkPauseStart() {
  pauseStart_ = std::chrono::steady_clock::now();
}

}  // namespace ql::link
