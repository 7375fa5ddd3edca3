// The TCP link over Windows Sockets: non-blocking from the start, so the
// connect is bounded by our own time-out rather than the system's (about
// 21 seconds), and a write can never hang on a peer that stopped reading.
// Waits are select() calls with the time left, looped until the deadline,
// since a wait may end a little early.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "link/system_text_win32.h"
#include "link/tcp_transport.h"
#include "link/wait.h"

namespace ql::link {
namespace {

// How long a write may wait for a peer that has stopped taking bytes.
constexpr std::chrono::seconds kWriteTimeout{3};

// Windows Sockets 2.2, started once for the whole process and left running:
// every thread's links share it.
bool SocketsStarted() {
  static const bool started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

enum class Ready { Yes, No, Failed };

// Waits until `socket` is readable (or, with `write`, writable or failed to
// connect), or the deadline passes.
Ready WaitFor(SOCKET socket, bool write, const Deadline& deadline) {
  while (true) {
    fd_set wanted;
    fd_set failed;
    FD_ZERO(&wanted);
    FD_ZERO(&failed);
    FD_SET(socket, &wanted);
    FD_SET(socket, &failed);
    const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline.Left());
    timeval timeout{static_cast<long>(left.count() / 1'000'000),
                    static_cast<long>(left.count() % 1'000'000)};
    const int ready =
        ::select(0, write ? nullptr : &wanted, write ? &wanted : nullptr, &failed, &timeout);
    if (ready == SOCKET_ERROR) {
      return Ready::Failed;
    }
    if (ready > 0) {
      return FD_ISSET(socket, &failed) && !FD_ISSET(socket, &wanted) ? Ready::Failed : Ready::Yes;
    }
    if (deadline.Passed()) {
      return Ready::No;
    }
  }
}

class TcpTransport final : public Transport {
 public:
  static std::unique_ptr<TcpTransport> Open(std::string_view netIp, std::string_view netPort,
                                            std::chrono::milliseconds connectTimeout,
                                            std::string* why, const std::atomic<bool>* cancel);

  ~TcpTransport() override;
  TcpTransport(const TcpTransport&) = delete;
  TcpTransport& operator=(const TcpTransport&) = delete;

  LinkKind Kind() const override { return LinkKind::Tcp; }

  // Sends every byte. NotSent when the peer accepts nothing for a few
  // seconds; Gone when the connection has failed (reset, or closed by the
  // peer as a read found).
  WriteResult Write(std::span<const std::uint8_t> bytes) override;

  // Waits for up to `wait`. A connection that the peer has closed or reset
  // is gone at once, after the bytes it sent before.
  ReadResult Read(std::span<std::uint8_t> into, std::chrono::microseconds wait) override;

  std::string GoneReason() const override { return goneReason_; }

  std::chrono::nanoseconds CharacterTime() const override {
    return std::chrono::nanoseconds::zero();
  }

  // Whether the socket holds received bytes now.
  bool InputWaiting() override;

  void Close() override;

 private:
  explicit TcpTransport(SOCKET socket) : socket_(socket) {}

  void MarkGone(std::string reason);

  SOCKET socket_;
  std::string goneReason_;
};

}  // namespace

std::optional<std::uint32_t> ParseNetIp(std::string_view text) {
  if (text.find('\0') != std::string_view::npos || !SocketsStarted()) {
    return std::nullopt;
  }
  const std::string copy(text);
  const unsigned long address = ::inet_addr(copy.c_str());
  if (address == INADDR_NONE) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(address);
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
  if (!SocketsStarted()) {
    return fail("Windows Sockets could not be started");
  }
  const auto address = ParseNetIp(netIp);
  const std::uint16_t port = ParseNetPort(netPort);
  if (!address) {
    return fail("not an IPv4 address");
  }
  if (port == 0) {
    return fail("not a TCP port number");
  }
  const SOCKET socket =
      ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (socket == INVALID_SOCKET) {
    return fail(SystemErrorText(static_cast<unsigned long>(::WSAGetLastError())));
  }
  auto transport = std::unique_ptr<TcpTransport>(new TcpTransport(socket));
  u_long nonBlocking = 1;
  if (::ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) {
    return fail(SystemErrorText(static_cast<unsigned long>(::WSAGetLastError())));
  }
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = ::htons(port);
  peer.sin_addr.s_addr = *address;

  const Deadline deadline(connectTimeout);
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) {
    return transport;
  }
  int error = ::WSAGetLastError();
  if (error == WSAEWOULDBLOCK) {
    // Looked at in short slices when a stop may cut the wait: an address
    // that never answers must not hold a stop for the whole time-out.
    Ready ready = Ready::No;
    bool cancelled = false;
    while (ready == Ready::No && !deadline.Passed() && !cancelled) {
      const Deadline slice(cancel == nullptr ? deadline.Left()
                                             : std::min<std::chrono::nanoseconds>(
                                                   deadline.Left(), kConnectCancelLook));
      ready = WaitFor(socket, true, slice);
      cancelled = cancel != nullptr && cancel->load();
    }
    if (ready == Ready::No && cancelled) {
      return fail("stopped while connecting");
    }
    switch (ready) {
      case Ready::Yes:
      case Ready::Failed: {
        int length = sizeof error;
        if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) !=
            0) {
          error = ::WSAGetLastError();
        }
        break;
      }
      case Ready::No:
        error = WSAETIMEDOUT;
        break;
    }
  }
  if (error != 0) {
    return fail(SystemErrorText(static_cast<unsigned long>(error)));
  }
  return transport;
}

TcpTransport::~TcpTransport() {
  Close();
}

void TcpTransport::Close() {
  if (socket_ != INVALID_SOCKET) {
    ::closesocket(socket_);
    socket_ = INVALID_SOCKET;
  }
}

WriteResult TcpTransport::Write(std::span<const std::uint8_t> bytes) {
  if (!goneReason_.empty()) {
    return WriteResult::Gone;
  }
  const Deadline deadline(kWriteTimeout);
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    if (socket_ == INVALID_SOCKET) {
      return WriteResult::NotSent;
    }
    const int n = ::send(socket_, reinterpret_cast<const char*>(bytes.data() + sent),
                         static_cast<int>(bytes.size() - sent), 0);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    const int error = ::WSAGetLastError();
    if (n == SOCKET_ERROR && error != WSAEWOULDBLOCK && error != WSAEINTR) {
      MarkGone(SystemErrorText(static_cast<unsigned long>(error)));
      return WriteResult::Gone;
    }
    if (WaitFor(socket_, true, deadline) != Ready::Yes) {
      return WriteResult::NotSent;
    }
  }
  return WriteResult::Sent;
}

bool TcpTransport::InputWaiting() {
  u_long waiting = 0;
  return socket_ != INVALID_SOCKET && ::ioctlsocket(socket_, FIONREAD, &waiting) == 0 &&
         waiting > 0;
}

ReadResult TcpTransport::Read(std::span<std::uint8_t> into, std::chrono::microseconds wait) {
  if (!goneReason_.empty()) {
    return ReadResult{.gone = true};
  }
  const Deadline deadline(wait);
  while (socket_ != INVALID_SOCKET && !into.empty() &&
         WaitFor(socket_, false, deadline) != Ready::No) {
    const int n = ::recv(socket_, reinterpret_cast<char*>(into.data()),
                         static_cast<int>(std::min<std::size_t>(into.size(), 1 << 20)), 0);
    if (n > 0) {
      return ReadResult{.count = static_cast<std::size_t>(n)};
    }
    if (n == 0) {
      MarkGone("the peer closed the connection");
      return ReadResult{.gone = true};
    }
    const int error = ::WSAGetLastError();
    if (error != WSAEWOULDBLOCK && error != WSAEINTR) {
      MarkGone(SystemErrorText(static_cast<unsigned long>(error)));
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
