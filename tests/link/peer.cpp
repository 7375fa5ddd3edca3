// The far side of real links in tests.
#include "peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace ql::testing_support {
namespace {

// Waits for `events` on `fd` until `deadline`; false on time-out.
bool WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  while (true) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) {
      return false;
    }
    pollfd pfd{fd, events, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()) + 1);
    if (ready > 0) {
      return true;
    }
    if (ready < 0 && errno != EINTR) {
      return false;
    }
  }
}

}  // namespace

PtyPair::PtyPair() {
  char name[256] = {};
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    throw std::runtime_error("openpty failed");
  }
  path_ = name;
  termios tio{};
  ::tcgetattr(slave_, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(slave_, TCSANOW, &tio);
}

PtyPair::~PtyPair() {
  CloseFd(master_);
  CloseFd(slave_);
}

void PtyPair::CloseMaster() {
  CloseFd(master_);
}

Listener::Listener(int backlog) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd_, backlog) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
}

Listener::~Listener() {
  Close();
}

void Listener::Close() {
  CloseFd(fd_);
}

int Listener::Accept(milliseconds timeout) {
  if (fd_ < 0 || !WaitFor(fd_, POLLIN, std::chrono::steady_clock::now() + timeout)) {
    return -1;
  }
  return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

std::optional<Bytes> ReadFrame(int fd, milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  Bytes frame;
  while (WaitFor(fd, POLLIN, deadline)) {
    std::uint8_t b = 0;
    const ssize_t n = ::read(fd, &b, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (n <= 0) {
      return std::nullopt;
    }
    frame.push_back(b);
    if (b == 0x0D) {
      return frame;
    }
  }
  return std::nullopt;
}

void WriteAll(int fd, const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) {
      const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (w <= 0) {
        return;
      }
      done += static_cast<std::size_t>(w);
      continue;
    }
    if (n <= 0) {
      return;
    }
    done += static_cast<std::size_t>(n);
  }
}

int OpenFdCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

void CloseFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

void Gate::Open() {
  {
    std::lock_guard lock(mutex_);
    open_ = true;
  }
  opened_.notify_all();
}

bool Gate::Wait(milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return opened_.wait_for(lock, timeout, [this] { return open_; });
}

}  // namespace ql::testing_support
