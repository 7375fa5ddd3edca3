// Counting down the wait after the run command.
#include "run_wait_clock.h"

#include <algorithm>

namespace ql::flash {
namespace {

// How often a stop request is looked for during the wait.
constexpr std::uint32_t kStopCheckMs = 50;
// Only the wait after the run command is this long; every other pause the
// device needs is a fraction of a second.
constexpr std::uint32_t kRunWaitAtLeastMs = 1000;

}  // namespace

RunWaitClock::RunWaitClock(link::Clock& base, const upgrade::ProcedureReport& report,
                           const std::atomic<bool>& stop, Tick tick,
                           std::optional<std::uint32_t> waitMs)
    : base_(base), report_(report), stop_(stop), tick_(std::move(tick)), waitMs_(waitMs) {}

void RunWaitClock::SleepMs(std::uint32_t ms) {
  if (!report_.runSent || ms < kRunWaitAtLeastMs) {
    base_.SleepMs(ms);
    return;
  }
  const std::uint32_t total = waitMs_.value_or(ms);
  const std::uint32_t start = base_.NowMs();
  int shown = -1;
  for (;;) {
    const std::uint32_t elapsed = link::ElapsedMs(start, base_.NowMs());
    if (elapsed >= total) {
      tick_(0);
      return;
    }
    if (stop_.load(std::memory_order_relaxed)) {
      tick_(-1);
      return;
    }
    const std::uint32_t left = total - elapsed;
    const int seconds = static_cast<int>((left + 999) / 1000);
    if (seconds != shown) {
      tick_(seconds);
      shown = seconds;
    }
    base_.SleepMs(std::min(left, kStopCheckMs));
  }
}

}  // namespace ql::flash
