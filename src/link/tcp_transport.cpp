// The TCP link over POSIX sockets.
#include "link/tcp_transport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "link/errno_text.h"
#include "link/wait.h"

namespace ql::link {
namespace {

// How long a write may wait for a peer that has stopped taking bytes.
constexpr std::chrono::seconds kWriteTimeout{3};

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::uint16_t ParseNetPort(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Only the low 16 bits are kept, so arithmetic modulo 2^16 gives the same
  // result for any number of digits.
  std::uint16_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = static_cast<std::uint16_t>(value * 10u + static_cast<unsigned>(text[i] - '0'));
  }
  return negative ? static_cast<std::uint16_t>(0u - value) : value;
}

std::optional<std::uint32_t> ParseNetIp(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  const std::string copy(text);
  const in_addr_t address = ::inet_addr(copy.c_str());
  if (address == INADDR_NONE) {
    return std::nullopt;
  }
  return address;
}

std::unique_ptr<TcpTransport> TcpTransport::Open(std::string_view netIp, std::string_view netPort,
                                                 std::chrono::milliseconds connectTimeout,
                                                 std::string* why) {
  const auto fail = [why](std::string reason) {
    if (why != nullptr) {
      *why = std::move(reason);
    }
    return nullptr;
  };
  const auto address = ParseNetIp(netIp);
  const std::uint16_t port = ParseNetPort(netPort);
  if (!address) {
    return fail("not an IPv4 address");
  }
  if (port == 0) {
    return fail("not a TCP port number");
  }
  // Non-blocking from the start: the connect is bounded by our own time-out
  // rather than the system's, and later writes cannot hang on a stuck peer.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return fail(ErrnoText(errno));
  }
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = *address;

  const Deadline deadline(connectTimeout);
  int error = 0;
  bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0;
  if (!connected) {
    error = errno;
  }
  if (!connected && (error == EINPROGRESS || error == EINTR)) {
    if (PollFor(fd, POLLOUT, deadline)) {
      socklen_t length = sizeof error;
      connected = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    } else {
      error = ETIMEDOUT;
    }
  }
  if (!connected) {
    ::close(fd);
    return fail(ErrnoText(error));
  }
  return std::unique_ptr<TcpTransport>(new TcpTransport(fd));
}

TcpTransport::~TcpTransport() {
  Close();
}

void TcpTransport::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

WriteResult TcpTransport::Write(std::span<const std::uint8_t> bytes) {
  if (!goneReason_.empty()) {
    return WriteResult::Gone;
  }
  const Deadline deadline(kWriteTimeout);
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    if (fd_ < 0) {
      return WriteResult::NotSent;
    }
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      // EPIPE, ECONNRESET: the peer has gone.
      MarkGone(ErrnoText(errno));
      return WriteResult::Gone;
    }
    if (PollFor(fd_, POLLOUT, deadline) == 0) {
      return WriteResult::NotSent;
    }
  }
  return WriteResult::Sent;
}

bool TcpTransport::InputWaiting() {
  std::uint8_t byte = 0;
  return fd_ >= 0 && ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

ReadResult TcpTransport::Read(std::span<std::uint8_t> into, std::chrono::microseconds wait) {
  if (!goneReason_.empty()) {
    return ReadResult{.gone = true};
  }
  const Deadline deadline(wait);
  while (fd_ >= 0 && !into.empty() && PollFor(fd_, POLLIN, deadline) != 0) {
    const ssize_t n = ::recv(fd_, into.data(), into.size(), 0);
    if (n > 0) {
      return ReadResult{.count = static_cast<std::size_t>(n)};
    }
    if (n == 0) {
      MarkGone("the peer closed the connection");
      return ReadResult{.gone = true};
    }
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      MarkGone(ErrnoText(errno));
      return ReadResult{.gone = true};
    }
  }
  // Nothing came, or the link was closed here: the wait passes in full.
  deadline.SleepOut();
  return {};
}

void TcpTransport::MarkGone(std::string reason) {
  if (goneReason_.empty()) {
    goneReason_ = reason.empty() ? "the connection is gone" : std::move(reason);
  }
}

}  // namespace ql::link
