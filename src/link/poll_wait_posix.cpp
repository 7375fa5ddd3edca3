// Bounded waits on file descriptors, through ppoll.
#include "link/poll_wait_posix.h"

#include <poll.h>

#include <cerrno>

namespace ql::link {

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
      deadline.SleepOut();
      return 0;
    }
  }
}

}  // namespace ql::link
