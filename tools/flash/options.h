// The command line of ql480tx-flash.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "settings/link_settings.h"
#include "text/language.h"

namespace ql::flash {

// One device to upgrade: the link that reaches it, as the window's link tab
// would hold it.
struct DeviceLink {
  settings::LinkKind kind = settings::LinkKind::Tcp;
  std::string host;  // --tcp: address or host name
  std::string port;  // --tcp: TCP port; --serial: the serial port
  std::string lineSettings;
  // How the device is named in output lines: "127.0.0.1:5003", "/dev/ttyUSB0".
  std::string Label() const;
};

struct Options {
  std::string firmwarePath;
  std::vector<DeviceLink> devices;  // empty: the stored link settings
  std::string deviceId = "0001";
  bool connectOnly = false;
  std::optional<text::Language> language;  // nullopt: the stored language
  bool json = false;
  bool help = false;
  bool version = false;
};

struct ParseResult {
  Options options;
  std::string error;  // empty when the command line was understood
};

ParseResult ParseOptions(const std::vector<std::string>& args);

std::string UsageText();

}  // namespace ql::flash
