// The link to the device: which kind, and the four texts that name it.
#pragma once

#include <cstdint>
#include <string>

namespace ql::link {

// One byte, as stored: 0 serial, 1 TCP. Any value other than 1 selects the
// serial link.
enum class LinkKind : std::uint8_t {
  Serial = 0,
  Tcp = 1,
};

inline constexpr const char* kDefaultComPortName = "COM1";
inline constexpr const char* kDefaultComBaudRate = "19200,e,8,1";
inline constexpr const char* kDefaultNetIp = "192.168.1.101";
inline constexpr const char* kDefaultNetPort = "5003";

struct LinkSettings {
  LinkKind linkKind = LinkKind::Serial;
  std::string comPortName = kDefaultComPortName;
  std::string comBaudRate = kDefaultComBaudRate;
  std::string netIp = kDefaultNetIp;
  std::string netPort = kDefaultNetPort;

  bool operator==(const LinkSettings&) const = default;
};

}  // namespace ql::link
