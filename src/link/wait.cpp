// Deadlines of bounded waits.
#include "link/wait.h"

namespace ql::link {

std::chrono::nanoseconds Deadline::Left() const {
  const auto left = at_ - std::chrono::steady_clock::now();
  return left > std::chrono::nanoseconds::zero()
             ? std::chrono::duration_cast<std::chrono::nanoseconds>(left)
             : std::chrono::nanoseconds::zero();
}

void Deadline::SleepOut() const {
  PauseUntil(at_);
}

}  // namespace ql::link
