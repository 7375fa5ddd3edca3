// The real millisecond counter and pauses on Windows.
//
// The counter is QueryPerformanceCounter's. A pause waits on a waitable timer
// set to the time left, and is set again until the deadline has passed, so it
// never ends early: the pauses of the standard library do not serve here
// (with mingw-w64, sleep_until truncates to whole milliseconds and ends
// short, and winpthreads' clock_nanosleep with an absolute monotonic time
// returns at once with an error). The timer is high-resolution where the
// system has one; elsewhere the system's tick is raised to 1 ms once, since
// the default tick of 15.6 ms would stretch each 4 ms pause to about 16 ms.
#include "link/clock_win32.h"

#include <windows.h>
// After windows.h.
#include <timeapi.h>

#include <mutex>

#include "link/clock.h"
#include "link/wait.h"

// Older mingw-w64 headers lack it; the value is the system's.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace ql::link {
namespace {

// One waitable timer per thread and kind, closed when the thread ends.
class ThreadTimer {
 public:
  explicit ThreadTimer(PauseTimer kind) {
    if (kind == PauseTimer::HighResolution) {
      handle_ = ::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                         TIMER_ALL_ACCESS);
    } else {
      RaiseSystemTick();
      handle_ = ::CreateWaitableTimerW(nullptr, TRUE, nullptr);
    }
  }
  ~ThreadTimer() {
    if (handle_ != nullptr) {
      ::CloseHandle(handle_);
    }
  }
  ThreadTimer(const ThreadTimer&) = delete;
  ThreadTimer& operator=(const ThreadTimer&) = delete;

  HANDLE handle() const { return handle_; }

 private:
  static void RaiseSystemTick() {
    static std::once_flag once;
    std::call_once(once, [] { ::timeBeginPeriod(1); });
  }

  HANDLE handle_ = nullptr;
};

HANDLE TimerFor(PauseTimer kind) {
  if (kind == PauseTimer::HighResolution) {
    thread_local const ThreadTimer timer(PauseTimer::HighResolution);
    return timer.handle();
  }
  thread_local const ThreadTimer timer(PauseTimer::TickAtOneMs);
  return timer.handle();
}

std::int64_t PerformanceFrequency() {
  static const std::int64_t frequency = [] {
    LARGE_INTEGER f{};
    ::QueryPerformanceFrequency(&f);
    return f.QuadPart > 0 ? f.QuadPart : 1;
  }();
  return frequency;
}

}  // namespace

PauseTimer ThreadPauseTimer() {
  return TimerFor(PauseTimer::HighResolution) != nullptr ? PauseTimer::HighResolution
                                                         : PauseTimer::TickAtOneMs;
}

void PauseUntil(std::chrono::steady_clock::time_point deadline, PauseTimer kind) {
  const HANDLE timer = TimerFor(kind);
  for (;;) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) {
      return;
    }
    // Relative due times are negative, in units of 100 ns, rounded up.
    const auto units = (std::chrono::ceil<std::chrono::nanoseconds>(left).count() + 99) / 100;
    LARGE_INTEGER due{};
    due.QuadPart = -units;
    if (timer != nullptr && ::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
      ::WaitForSingleObject(timer, INFINITE);
    } else {
      // No timer at all: whole milliseconds, rounded up, on the raised tick.
      ::Sleep(static_cast<DWORD>((units + 9'999) / 10'000));
    }
  }
}

void PauseUntil(std::chrono::steady_clock::time_point deadline) {
  PauseUntil(deadline, ThreadPauseTimer());
}

std::uint32_t SystemClock::NowMs() {
  LARGE_INTEGER counter{};
  ::QueryPerformanceCounter(&counter);
  const std::int64_t frequency = PerformanceFrequency();
  // In two parts, so the product cannot overflow however long the system runs.
  const std::int64_t ms =
      counter.QuadPart / frequency * 1000 + counter.QuadPart % frequency * 1000 / frequency;
  return static_cast<std::uint32_t>(ms);
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

}  // namespace ql::link
