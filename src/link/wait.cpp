// Bounded waits on file descriptors.
#include "link/wait.h"

#include <poll.h>

#include <cerrno>
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

short PollFor(int fd, short events, const Deadline& deadline) {
  pollfd pfd{fd, events, 0};
  while (true) {
    const auto left = deadline.Left();
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
    const timespec timeout{static_cast<time_t>(secs.count()),
                           static_cast<long>((left - secs).count())};
    const int ready = ::ppoll(&pfd, 1, &timeout, nullptr);
    if (ready > 0) {
      return pfd.revents;
    }
    if (ready == 0) {
      return 0;
    }
    if (errno != EINTR) {
      // The wait itself failed: let its time pass, so no caller spins.
      deadline.SleepOut();
      return 0;
    }
  }
}

}  // namespace ql::link
