// Deadlines of bounded waits.
#include "link/wait.h"

#include <thread>

namespace ql::link {

std::chrono::nanoseconds Deadline::Left() const {
  const auto left = at_ - std::chrono::steady_clock::now();
  return left > std::chrono::nanoseconds::zero()
             ? std::chrono::duration_cast<std::chrono::nanoseconds>(left)
             : std::chrono::nanoseconds::zero();
}

void Deadline::SleepOut() const {
  std::this_thread::sleep_until(at_);
}

}  // namespace ql::link
