// Reading the command line of ql480tx-flash.
#include "options.h"

#include <algorithm>
#include <cctype>

#include "settings/link_settings.h"

namespace ql::flash {
namespace {

constexpr const char* kDefaultTcpPort = "5003";

// Four letters or digits: anything else would break the command frames.
bool IsDeviceId(const std::string& id) {
  return id.size() == 4 &&
         std::all_of(id.begin(), id.end(), [](unsigned char c) { return std::isalnum(c) != 0; });
}

std::optional<text::Language> ParseLanguage(const std::string& name) {
  if (name == "en") {
    return text::Language::English;
  }
  if (name == "zh-CN") {
    return text::Language::Simplified;
  }
  if (name == "zh-TW") {
    return text::Language::Traditional;
  }
  return std::nullopt;
}

// "HOST[:PORT]"; a bare IPv6 address is not a link this device speaks.
std::optional<DeviceLink> ParseTcp(const std::string& value) {
  DeviceLink link;
  link.kind = settings::LinkKind::Tcp;
  const auto colon = value.rfind(':');
  if (colon == std::string::npos) {
    link.host = value;
    link.port = kDefaultTcpPort;
  } else {
    link.host = value.substr(0, colon);
    link.port = value.substr(colon + 1);
  }
  const bool portIsNumber = !link.port.empty() && link.port.size() <= 5 &&
                            std::all_of(link.port.begin(), link.port.end(),
                                        [](unsigned char c) { return std::isdigit(c) != 0; }) &&
                            std::stoi(link.port) >= 1 && std::stoi(link.port) <= 65535;
  if (link.host.empty() || link.host.find(':') != std::string::npos || !portIsNumber) {
    return std::nullopt;
  }
  return link;
}

}  // namespace

std::string DeviceLink::Label() const {
  return kind == settings::LinkKind::Tcp ? host + ":" + port : port;
}

ParseResult ParseOptions(const std::vector<std::string>& args) {
  ParseResult result;
  Options& options = result.options;
  std::string line = settings::kDefaultComBaudRate;
  bool lineGiven = false;
  std::vector<std::string> files;
  auto fail = [&result](std::string message) {
    result.error = std::move(message);
    return result;
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || arg[0] != '-') {
      files.push_back(arg);
      continue;
    }
    // "--name VALUE" or "--name=VALUE" for the options that take a value.
    std::string name = arg;
    std::string value;
    bool inlineValue = false;
    if (const auto eq = arg.find('='); eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inlineValue = true;
    }
    const bool takesValue = name == "--tcp" || name == "--serial" || name == "--line" ||
                            name == "--id" || name == "--lang";
    if (takesValue && !inlineValue) {
      if (i + 1 >= args.size()) {
        return fail(name + " needs a value");
      }
      value = args[++i];
    } else if (!takesValue && inlineValue) {
      return fail(name + " takes no value");
    }

    if (name == "--help" || name == "-h") {
      options.help = true;
    } else if (name == "--version") {
      options.version = true;
    } else if (name == "--connect-only") {
      options.connectOnly = true;
    } else if (name == "--json") {
      options.json = true;
    } else if (name == "--tcp") {
      const auto link = ParseTcp(value);
      if (!link) {
        return fail("--tcp takes HOST[:PORT] with a port from 1 to 65535: " + value);
      }
      options.devices.push_back(*link);
    } else if (name == "--serial") {
      if (value.empty()) {
        return fail("--serial needs a port");
      }
      DeviceLink link;
      link.kind = settings::LinkKind::Serial;
      link.port = value;
      options.devices.push_back(link);
    } else if (name == "--line") {
      line = value;
      lineGiven = true;
    } else if (name == "--id") {
      if (!IsDeviceId(value)) {
        return fail("--id takes four letters or digits, as 0001: " + value);
      }
      options.deviceId = value;
    } else if (name == "--lang") {
      options.language = ParseLanguage(value);
      if (!options.language) {
        return fail("--lang takes en, zh-CN or zh-TW: " + value);
      }
    } else {
      return fail("unknown option " + arg);
    }
  }
  if (options.help || options.version) {
    return result;
  }
  if (files.size() != 1) {
    return fail(files.empty() ? "no firmware file given" : "more than one firmware file given");
  }
  options.firmwarePath = files.front();
  bool anySerial = false;
  for (auto& device : options.devices) {
    if (device.kind == settings::LinkKind::Serial) {
      device.lineSettings = line;
      anySerial = true;
    }
  }
  if (lineGiven && !anySerial) {
    return fail("--line applies to --serial links only");
  }
  return result;
}

std::string UsageText() {
  return R"(Usage: ql480tx-flash [OPTIONS] FILE.QLB

Upgrades the firmware of QL480TX-V5 devices: connects, checks the model,
writes the image block by block, reads every block back and compares it, and
tells the device to run it. The same procedures as the window, without it.

Links (give several to upgrade several devices at once; none: the link stored
by the window is used, read only):
  --tcp HOST[:PORT]     TCP link (PORT defaults to 5003)
  --serial PORT         serial link: a device path such as /dev/ttyUSB0, or
                        COM1..COMn for /dev/ttyS0..
  --line SETTINGS       line settings for --serial, e.g. 115200,e,8,1
                        (default 19200,e,8,1)

Options:
  --id ID               4-character device ID (default 0001)
  --connect-only        handshake and model check only, no upgrade
  --lang LANG           en, zh-CN or zh-TW: language of the messages
                        (default: the language stored by the window)
  --json                one JSON object per line for every event
  --help                this text
  --version             the program's version

Exit status:
  0 success   1 usage error   2 firmware file cannot be read
  3 link cannot be opened   4 no valid handshake reply   5 model mismatch
  6 programming failed   7 verify failed
  With several devices, the highest status of any device.
)";
}

}  // namespace ql::flash
