// The TCP link to the device's network interface: one IPv4 connection made
// with plain sockets, so it works from any thread without an event loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "link/transport.h"

namespace ql::link {

inline constexpr std::chrono::milliseconds kConnectTimeout{5000};

// The port number of a NetPort text: leading white space skipped, one
// optional sign, decimal digits up to the first other character, cut to the
// low 16 bits ("5003" -> 5003, "70000" -> 4464, "-1" -> 65535,
// " 5003abc" -> 5003). A text without digits gives 0.
std::uint16_t ParseNetPort(std::string_view text);

// The address of a NetIP text in network byte order: the dotted IPv4 forms
// inet_addr() reads. No host-name lookup. nullopt when it is not such an
// address (or is 255.255.255.255, which inet_addr cannot tell from an error).
std::optional<std::uint32_t> ParseNetIp(std::string_view text);

class TcpTransport final : public Transport {
 public:
  // Connects to `netIp`:`netPort`. nullptr, with nothing left open, when the
  // address or port cannot be read (port 0 included), or the connection is
  // refused or not made within `connectTimeout`; `why` (when given) then
  // says which, with the system's text where there is one.
  static std::unique_ptr<TcpTransport> Open(
      std::string_view netIp, std::string_view netPort,
      std::chrono::milliseconds connectTimeout = kConnectTimeout, std::string* why = nullptr);

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

}  // namespace ql::link
