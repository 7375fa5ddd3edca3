// Reading the command line of ql480tx-flash.
#include "options.h"

#include <algorithm>
#include <cctype>

#include "common/command_options.h"
#include "link/line_settings.h"
#include "link/link_settings.h"
#include "link/serial_transport.h"

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
  link.kind = link::LinkKind::Tcp;
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
  return kind == link::LinkKind::Tcp ? host + ":" + port : port;
}

bool StrictLineSettings(const std::string& text) {
  const auto parsed = link::ParseLineSettings(text);
  // A rate the system has no speed for would leave the port at whatever
  // speed it had, as the window does; here it is refused instead.
  return parsed && link::LineSettingsApplicable(*parsed);
}

// The fields a settings text leaves out taken from the window's default
// ("115200" is 115200,e,8,1), not from whatever the port was left at.
std::string WithDefaultFraming(const std::string& text) {
  const std::string_view framing = link::kDefaultComBaudRate;
  const auto given = static_cast<std::size_t>(std::count(text.begin(), text.end(), ',')) + 1;
  std::size_t from = 0;  // the comma before the first field not given
  for (std::size_t field = 0; field < given; ++field) {
    from = framing.find(',', field == 0 ? 0 : from + 1);
    if (from == std::string_view::npos) {
      return text;
    }
  }
  return text + std::string(framing.substr(from));
}

ParseResult ParseOptions(const std::vector<std::string>& args) {
  ParseResult result;
  Options& options = result.options;
  std::string line = link::kDefaultComBaudRate;
  bool lineGiven = false;
  bool connectOnly = false;
  bool verifyOnly = false;
  bool readFlash = false;
  for (const auto& arg : args) {
    if (arg == "--") {
      break;
    }
    result.jsonRequested = result.jsonRequested || arg == "--json";
  }
  auto fail = [&result](std::string message) {
    result.error = std::move(message);
    return result;
  };

  // A refused value is reported in the option's own words.
  std::string refusal;
  const auto refuse = [&refusal](std::string message) {
    refusal = std::move(message);
    return false;
  };
  const auto fileName = [&refuse](const char* name, std::string& field) {
    return [&refuse, name, &field](const std::string& value) {
      if (value.empty()) {
        return refuse(std::string(name) + " needs a file name");
      }
      field = value;
      return true;
    };
  };
  using command_options::Option;
  using command_options::Set;
  const std::vector<Option> table = {
      {"--help", 'h', false, Set(options.help)},
      {"--version", 'V', false, Set(options.version)},
      {"--connect-only", 0, false, Set(connectOnly)},
      {"--verify-only", 0, false, Set(verifyOnly)},
      {"--read-flash", 0, true,
       [&](const std::string& value) {
         readFlash = true;
         return fileName("--read-flash", options.readFlashPath)(value);
       }},
      {"--force", 0, false, Set(options.force)},
      {"--repeat", 0, false, Set(options.repeat)},
      {"--trace", 0, true, fileName("--trace", options.tracePath)},
      {"--log", 0, true, fileName("--log", options.logPath)},
      {"--list-ports", 0, false, Set(options.listPorts)},
      {"--quiet", 'q', false, Set(options.quiet)},
      {"--json", 0, false, Set(options.json)},
      {"--tcp", 0, true,
       [&](const std::string& value) {
         const auto link = ParseTcp(value);
         if (!link && (value.starts_with('[') || std::count(value.begin(), value.end(), ':') > 1)) {
           return refuse("--tcp takes IPv4 addresses and host names only; IPv6 is not supported: " +
                         value);
         }
         if (!link) {
           return refuse("--tcp takes HOST[:PORT] with a port from 1 to 65535: " + value);
         }
         options.devices.push_back(*link);
         return true;
       }},
      {"--serial", 0, true,
       [&](const std::string& value) {
         if (value.empty()) {
           return refuse("--serial needs a port");
         }
         DeviceLink link;
         link.kind = link::LinkKind::Serial;
         link.port = value;
         options.devices.push_back(link);
         return true;
       }},
      {"--line", 0, true,
       [&](const std::string& value) {
         if (!StrictLineSettings(value)) {
           return refuse("--line takes BAUD[,PARITY[,DATA[,STOP]]] such as 115200,e,8,1: " + value);
         }
         line = WithDefaultFraming(value);
         lineGiven = true;
         return true;
       }},
      {"--id", 0, true,
       [&](const std::string& value) {
         if (!IsDeviceId(value)) {
           return refuse("--id takes four letters or digits, as 0001: " + value);
         }
         options.deviceId = value;
         return true;
       }},
      {"--lang", 0, true,
       [&](const std::string& value) {
         options.language = ParseLanguage(value);
         return options.language.has_value() || refuse("--lang takes en, zh-CN or zh-TW: " + value);
       }},
  };
  const auto parsed = command_options::Parse(table, args, {.operands = true, .bundles = true});
  if (!parsed.error.empty()) {
    return fail(parsed.refused.empty() ? parsed.error : refusal);
  }
  const std::vector<std::string>& files = parsed.operands;
  if (options.help || options.version || options.listPorts) {
    return result;
  }
  if (int(connectOnly) + int(verifyOnly) + int(readFlash) > 1) {
    return fail("--connect-only, --verify-only and --read-flash exclude each other");
  }
  options.mode = connectOnly  ? Mode::ConnectOnly
                 : verifyOnly ? Mode::VerifyOnly
                 : readFlash  ? Mode::ReadFlash
                              : Mode::Upgrade;
  if (readFlash) {
    if (!files.empty()) {
      return fail("--read-flash takes no firmware file");
    }
    if (options.devices.size() > 1) {
      return fail("--read-flash reads one device");
    }
  } else {
    if (files.size() != 1) {
      return fail(files.empty() ? "no firmware file given" : "more than one firmware file given");
    }
    options.firmwarePath = files.front();
  }
  if (options.repeat && options.mode != Mode::Upgrade) {
    return fail("--repeat upgrades; it excludes --connect-only, --verify-only and --read-flash");
  }
  if (!options.logPath.empty() && readFlash) {
    return fail("--log records upgrades and checks; it excludes --read-flash");
  }
  if (options.force && !readFlash) {
    return fail("--force applies to --read-flash only");
  }
  bool anySerial = false;
  for (auto& device : options.devices) {
    if (device.kind == link::LinkKind::Serial) {
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
       ql480tx-flash [OPTIONS] --read-flash OUT.QLB
       ql480tx-flash --list-ports

Upgrades the firmware of QL480TX-V5 devices: connects, checks the model,
writes the image block by block, reads every block back and compares it, and
tells the device to run it. The same procedures as the window, without it.

Links (give several to upgrade several devices at once; none: the link stored
by the window is used, read only):
  --tcp HOST[:PORT]     TCP link (PORT defaults to 5003)
  --serial PORT         serial link: a device path such as /dev/ttyUSB0, or
                        COM1..COMn for /dev/ttyS0..
  --line SETTINGS       line settings for --serial, e.g. 115200,e,8,1
                        (default 19200,e,8,1); fields left out are e,8,1's;
                        text it cannot read is refused
  --list-ports          print the serial ports the system reports, one a line, with
                        what it knows of each and its stable /dev/serial/by-id name
                        (with --json one object each), and exit 0

What to do (default: upgrade):
  --connect-only        handshake and model check only, no upgrade
  --verify-only         handshake, model check and read-back comparison of
                        FILE.QLB; nothing is written and no run command is sent
  --read-flash OUT.QLB  read the device's 124 blocks back into OUT.QLB; no
                        FILE.QLB argument; nothing is written to the device
  --force               with --read-flash: replace an existing OUT.QLB, when it
                        is a regular file or a symbolic link (the link itself)
  --repeat              automatic mode: upgrade one unit after another on each
                        given link until interrupted; see below

Output:
  --json                one JSON object per line for every event
  --trace FILE          every frame sent and received, one line each: time
                        since start in ms with 3 decimals, the link, "->" or
                        "<-", and the bytes (printable ASCII as it stands,
                        anything else as \xHH); also the verdict of each
                        exchange (accepted, bad CRC, no reply, bytes left over)
  --log FILE            the station log: one JSON line per unit (per device
                        without --repeat), appended and synced before the
                        next unit starts; units are numbered on from the
                        last of each link in FILE; a line that cannot be
                        written makes the exit status at least 2
  -q, --quiet           print only errors and the final result line
  --lang LANG           en, zh-CN or zh-TW: language of the messages
                        (default: the language stored by the window)

Other options:
  --id ID               4-character device ID (default 0001)
  -h, --help            this text
  -V, --version         the program's version
  --                    ends the options

Ctrl-C, SIGTERM and SIGHUP stop every device at the next exchange boundary
and say what each device now holds; Ctrl-C again quits at once.

Automatic mode (--repeat), for production lines: each link is a station. It
looks for a unit with one handshake at most every 500 ms, upgrades the unit
that answers, then looks at most every 150 ms until that unit is taken away:
600 ms and at least 3 looks in a row unanswered. A unit answering with other
device information than the unit in place gave after its upgrade is a new
unit at once. After a run command the unit's silence is its restart until it
has answered again (at most a minute), so swap it only after that. After each
unit one line gives the link, the unit's number, its device information, the
outcome, its time and the tally of the link. A stop ends every station, stopping a
unit being written at the next exchange boundary, and prints a summary per
link.

Exit status:
  0 success   1 usage error   2 a file cannot be read or written
  3 link cannot be opened   4 no valid handshake reply   5 model mismatch
  6 programming failed   7 verify failed (with --verify-only: a block differs)
  8 a block could not be read (--read-flash)   130 stopped by a signal
  With several devices, the highest status of any device. With --repeat, 0
  when every unit succeeded, else the highest status of any unit; 130 only
  when a stop cut a unit's connect or upgrade short.
)";
}

}  // namespace ql::flash
