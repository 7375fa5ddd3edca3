// The real millisecond counter and sleep.
#include "link/clock.h"

#include <chrono>
#include <thread>

namespace ql::link {

std::uint32_t SystemClock::NowMs() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void SystemClock::SleepMs(std::uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace ql::link
