// The TCP link over POSIX sockets: non-blocking from the start, so the
// connect is bounded by our own time-out rather than the system's (over two
// minutes), and a write can never hang on a peer that stopped reading.
#include "link/tcp_transport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>

#include <cerrno>
#include <string>
#include <utility>

#include "link/errno_text.h"
#include "link/poll_wait_posix.h"

namespace ql::link {
namespace {

// How long a write may wait for a peer that has stopped taking bytes.
constexpr std::chrono::seconds kWriteTimeout{3};

class TcpTransport final : public Transport {
 public:
  // Connects to `netIp`:`netPort`. nullptr, with nothing left open, when the
  // address or port cannot be read (port 0 included), or the connection is
  // refused or not made within `connectTimeout`; `why` (when given) then
  // says which, with the system's text where there is one.
  static std::unique_ptr<TcpTransport> Open(std::string_view netIp, std::string_view netPort,
                                            std::chrono::milliseconds connectTimeout,
                                            std::string* why, const std::atomic<bool>* cancel);

  ~TcpTransport() override;
  TcpTransport(const TcpTransport&) = delete;
  TcpTransport& operator=(const TcpTransport&) = delete;

  LinkKind Kind() const override { return LinkKind::Tcp; }

  // Sends every byte, never raising SIGPIPE. NotSent when the peer accepts
  // nothing for a few seconds; Gone when the connection has failed (reset,
  // or closed by the peer as a read found).
  WriteResult Write(std::span<const std::uint8_t> bytes) override;

  // Waits for up to `wait`. A connection that the peer has closed or reset
  // is gone at once, after the bytes it sent before.
  ReadResult Read(std::span<std::uint8_t> into, std::chrono::microseconds wait) override;

  std::string GoneReason() const override { return goneReason_; }

  // A TCP link has no line rate.
  std::chrono::nanoseconds CharacterTime() const override {
    return std::chrono::nanoseconds::zero();
  }

  // Whether the socket holds received bytes now; a closed connection holds none.
  bool InputWaiting() override;

  void Close() override;

 private:
  explicit TcpTransport(int fd) : fd_(fd) {}

  // Remembers why the connection is gone; the first reason stands.
  void MarkGone(std::string reason);

  int fd_;
  std::string goneReason_;
};

}  // namespace

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
                                                 std::string* why,
                                                 const std::atomic<bool>* cancel) {
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
    // Looked at in short slices when a stop may cut the wait: an address
    // that never answers must not hold a stop for the whole time-out.
    short ready = 0;
    bool cancelled = false;
    while (ready == 0 && !deadline.Passed() && !cancelled) {
      const Deadline slice(cancel == nullptr ? deadline.Left()
                                             : std::min<std::chrono::nanoseconds>(
                                                   deadline.Left(), kConnectCancelLook));
      ready = PollFor(fd, POLLOUT, slice);
      cancelled = cancel != nullptr && cancel->load();
    }
    if (ready != 0) {
      socklen_t length = sizeof error;
      connected = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    } else if (cancelled) {
      ::close(fd);
      return fail("stopped while connecting");
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

std::unique_ptr<Transport> OpenTcpTransport(std::string_view netIp, std::string_view netPort,
                                            std::chrono::milliseconds connectTimeout,
                                            std::string* why, const std::atomic<bool>* cancel) {
  return TcpTransport::Open(netIp, netPort, connectTimeout, why, cancel);
}

}  // namespace ql::link
