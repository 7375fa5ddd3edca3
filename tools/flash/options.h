// The command line of ql480tx-flash.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "link/link_settings.h"
#include "text/language.h"

namespace ql::flash {

// One device to upgrade: the link that reaches it, as the window's link tab
// would hold it.
struct DeviceLink {
  link::LinkKind kind = link::LinkKind::Tcp;
  std::string host;  // --tcp: address or host name
  std::string port;  // --tcp: TCP port; --serial: the serial port
  std::string lineSettings;
  // How the device is named in output lines: "127.0.0.1:5003", "/dev/ttyUSB0".
  std::string Label() const;
};

// What the program is asked to do with each device.
enum class Mode {
  Upgrade,      // connect, program, verify, run
  ConnectOnly,  // handshake and model check
  VerifyOnly,   // handshake, model check, read-back comparison; nothing written
  ReadFlash,    // read the device's flash into a file; nothing written
};

struct Options {
  Mode mode = Mode::Upgrade;
  std::string firmwarePath;   // FILE.QLB; empty for --read-flash
  std::string readFlashPath;  // --read-flash OUT.QLB
  bool force = false;
  // Automatic mode: one unit after another on each link until stopped.
  bool repeat = false;
  std::string tracePath;
  std::string logPath;              // --log FILE: the station log
  std::vector<DeviceLink> devices;  // empty: the stored link settings
  std::string deviceId = "0001";
  std::optional<text::Language> language;  // nullopt: the stored language
  bool json = false;
  bool quiet = false;
  bool listPorts = false;
  bool help = false;
  bool version = false;
};

struct ParseResult {
  Options options;
  std::string error;  // empty when the command line was understood
  // Whether --json came before the error, so the error is reported as JSON.
  bool jsonRequested = false;
};

ParseResult ParseOptions(const std::vector<std::string>& args);

// Whether `text` is line settings this program accepts: text the parser
// reads, with a baud rate the system has a speed for.
bool StrictLineSettings(const std::string& text);

std::string UsageText();

}  // namespace ql::flash
