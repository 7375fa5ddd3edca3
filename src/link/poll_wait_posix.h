// Bounded waits on file descriptors, shared by the POSIX serial and TCP links.
#pragma once

#include "link/wait.h"

namespace ql::link {

// Waits until `fd` reports one of `events` (poll's POLLIN, POLLOUT), a
// hang-up or an error, or the deadline passes. The events it reported
// (POLLHUP and POLLERR among them); 0 when the deadline passed first. A wait
// that fails outright lets the deadline pass and gives 0, so no caller spins.
short PollFor(int fd, short events, const Deadline& deadline);

}  // namespace ql::link
