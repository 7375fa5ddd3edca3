// The TCP link to the device's network interface: one IPv4 connection to
// the address and port the settings give. Each platform brings its own
// implementation (tcp_transport_posix.cpp).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "link/transport.h"

namespace ql::link {

inline constexpr std::chrono::milliseconds kConnectTimeout{5000};
// How often a connect looks whether it is to stop.
inline constexpr std::chrono::milliseconds kConnectCancelLook{50};

// The port number of a NetPort text: leading white space skipped, one
// optional sign, decimal digits up to the first other character, cut to the
// low 16 bits ("5003" -> 5003, "70000" -> 4464, "-1" -> 65535,
// " 5003abc" -> 5003). A text without digits gives 0.
std::uint16_t ParseNetPort(std::string_view text);

// The address of a NetIP text in network byte order: the dotted IPv4 forms
// inet_addr() reads. No host-name lookup. nullopt when it is not such an
// address (or is 255.255.255.255, which inet_addr cannot tell from an error).
std::optional<std::uint32_t> ParseNetIp(std::string_view text);

// Connects to `netIp`:`netPort`, with plain sockets, so the link works from
// any thread without an event loop. nullptr, with nothing left open, when
// the address or port cannot be read (port 0 included), or the connection is
// refused or not made within `connectTimeout`; `why` (when given) then says
// which, with the system's text where there is one.
//
// A connect still waiting when `cancel` (when given) becomes true ends
// within kConnectCancelLook, nullptr and `why` "stopped while connecting".
//
// The link's writes send every byte (NotSent when the peer accepts nothing
// for a few seconds); a connection the peer closed or reset is gone at once,
// after the bytes it sent before. It has no line rate.
std::unique_ptr<Transport> OpenTcpTransport(
    std::string_view netIp, std::string_view netPort,
    std::chrono::milliseconds connectTimeout = kConnectTimeout, std::string* why = nullptr,
    const std::atomic<bool>* cancel = nullptr);

}  // namespace ql::link
