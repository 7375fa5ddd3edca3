// The link the utility uses: which kind, and the four texts that name it.
#pragma once

#include <cstdint>
#include <string>

namespace ql::settings {

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
};

// What the link controls of the window show at the moment a procedure takes
// them: the active tab and the texts of both tabs.
struct LinkControls {
  LinkKind activeTab = LinkKind::Serial;
  std::string port;      // cmbPort
  std::string baudRate;  // cmbBaudrate
  std::string ip;        // edIP
  std::string netPort;   // edPort
};

// Copies the active tab's texts into `link` and sets its kind; the other
// tab's settings stay as they are in memory.
void TakeLinkControls(const LinkControls& controls, LinkSettings& link);

}  // namespace ql::settings
