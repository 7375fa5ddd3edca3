// The TCP side of the emulator: one listening socket, one connection at a
// time. A utility that connects while another is connected waits in the
// backlog until the first one has closed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "link/errno_text.h"
#include "sim/endpoint.h"
#include "sim/unique_fd.h"

namespace ql::sim {
namespace {

std::string Errno(const std::string& what) {
  return what + ": " + link::ErrnoText(errno);
}

std::string AddressText(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

class TcpEndpoint final : public Endpoint {
 public:
  TcpEndpoint(UniqueFd listener, sockaddr_in bound)
      : listener_(std::move(listener)), bound_(bound) {}

  int InputFd() const override { return connection_.Valid() ? connection_.Get() : listener_.Get(); }

  InputResult Read(std::span<std::uint8_t> into) override {
    if (!connection_.Valid()) {
      return Accept();
    }
    const ssize_t n = ::recv(connection_.Get(), into.data(), into.size(), MSG_DONTWAIT);
    if (n > 0) {
      return {.event = InputEvent::Data, .count = static_cast<std::size_t>(n), .detail = {}};
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      return {};
    }
    const std::string why =
        n == 0 ? "connection closed by the utility" : Errno("connection broken");
    connection_.Reset();
    return {.event = InputEvent::PeerClosed, .count = 0, .detail = why};
  }

  int OutputFd() const override { return connection_.Get(); }

  OutputResult Write(std::span<const std::uint8_t> bytes) override {
    if (!connection_.Valid()) {
      return {.status = OutputStatus::Discarded, .count = bytes.size()};
    }
    const ssize_t n =
        ::send(connection_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      return {.status = OutputStatus::Written, .count = static_cast<std::size_t>(n)};
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      return {.status = OutputStatus::WouldBlock, .count = 0};
    }
    connection_.Reset();
    return {.status = OutputStatus::PeerGone, .count = 0};
  }

  bool HangUp(std::string& /*error*/) override {
    connection_.Reset();
    return true;
  }

  std::string Describe() const override { return "listening " + AddressText(bound_); }

  std::uint16_t Port() const override { return ntohs(bound_.sin_port); }

 private:
  InputResult Accept() {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listener_.Get(), reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      return {};
    }
    connection_.Reset(fd);
    // Replies go out as soon as they are written, also byte by byte when paced.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return {.event = InputEvent::Connected,
            .count = 0,
            .detail = "connection from " + AddressText(peer)};
  }

  UniqueFd listener_;
  UniqueFd connection_;
  sockaddr_in bound_;
};

}  // namespace

std::unique_ptr<Endpoint> OpenTcpEndpoint(const LinkConfig& config, std::string& error) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(config.port);
  if (::inet_pton(AF_INET, config.address.c_str(), &address.sin_addr) != 1) {
    error = "'" + config.address + "' is not an IPv4 address";
    return nullptr;
  }
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listener.Valid()) {
    error = Errno("cannot create a socket");
    return nullptr;
  }
  const int on = 1;
  ::setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = Errno("cannot listen on " + AddressText(address));
    return nullptr;
  }
  if (::listen(listener.Get(), 4) != 0) {
    error = Errno("cannot listen on " + AddressText(address));
    return nullptr;
  }
  socklen_t length = sizeof address;
  ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length);
  return std::make_unique<TcpEndpoint>(std::move(listener), address);
}

}  // namespace ql::sim
