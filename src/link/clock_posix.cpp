// The real millisecond counter and sleep.
#include "link/clock.h"
#include "link/wait.h"

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
  SleepUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms));
}

void SystemClock::SleepAfterMarkMs(std::uint32_t ms) {
  SleepUntil(mark_.value_or(std::chrono::steady_clock::now()) + std::chrono::milliseconds(ms));
}

void SystemClock::MarkPauseStart() {
  mark_ = std::chrono::steady_clock::now();
}

// The end of a pause is its deadline, not the moment the thread woke: a
// pause that follows counts from where this one was due to end.
void SystemClock::SleepUntil(std::chrono::steady_clock::time_point deadline) {
  mark_ = deadline;
  PauseUntil(deadline);
}

void PauseUntil(std::chrono::steady_clock::time_point deadline) {
  LeastTimerSlack();
  // steady_clock is CLOCK_MONOTONIC on Linux.
  const timespec at = ToTimespec(deadline);
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

}  // namespace ql::link
