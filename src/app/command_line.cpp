// Reading the window's command line.
#include "app/command_line.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

namespace ql::app {
namespace {

// The options of Qt programs that take a value, after one dash (Qt also
// takes them after two, and the value after "=").
constexpr std::array kQtOptionsWithValue = {
    "platform",    "platformpluginpath", "platformtheme", "plugin",  "qwindowgeometry",
    "qwindowicon", "qwindowtitle",       "session",       "display", "geometry",
    "style",       "stylesheet",         "name",          "title",   "qmljsdebugger"};
constexpr std::array kQtFlags = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

template <std::size_t N>
bool Among(const std::array<const char*, N>& names, std::string_view name) {
  return std::any_of(names.begin(), names.end(),
                     [name](const char* known) { return name == known; });
}

// `text` as a terminal can show it without being told anything: control
// characters (C0, DEL, C1) and bytes that are not UTF-8 become "?".
std::string Printable(std::string_view text) {
  std::string shown;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80           ? 1
                               : (lead >> 5) == 0x6  ? 2
                               : (lead >> 4) == 0xE  ? 3
                               : (lead >> 3) == 0x1E ? 4
                                                     : 0;
    bool valid = length > 0 && i + length <= text.size();
    std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    constexpr std::uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    valid =
        valid && code >= kShortest[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    if (!valid) {
      shown += '?';
      ++i;
      continue;
    }
    const bool control = code < 0x20 || (code >= 0x7F && code < 0xA0);
    shown += control ? std::string("?") : std::string(text.substr(i, length));
    i += length;
  }
  return shown;
}

CommandLine Refused(std::string error) {
  CommandLine line;
  line.action = CommandLine::Action::UsageError;
  line.error = std::move(error);
  return line;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine line;
  std::vector<std::string> files;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      if (arg.empty()) {
        return Refused("an empty file name");
      }
      files.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "-h" || arg == "--help") {
      line.action = CommandLine::Action::Help;
    } else if (arg == "-V" || arg == "--version") {
      if (line.action != CommandLine::Action::Help) {
        line.action = CommandLine::Action::Version;
      }
    } else {
      const std::string_view dashed = arg.rfind("--", 0) == 0 ? std::string_view(arg).substr(2)
                                                              : std::string_view(arg).substr(1);
      const std::size_t equals = dashed.find('=');
      const std::string_view name = dashed.substr(0, equals);
      if (Among(kQtFlags, dashed)) {
        line.qtArguments.push_back(arg);
      } else if (Among(kQtOptionsWithValue, name) && equals != std::string_view::npos) {
        line.qtArguments.push_back(arg);
      } else if (Among(kQtOptionsWithValue, name)) {
        if (i + 1 >= args.size()) {
          return Refused("option '" + Printable(arg) + "' needs a value");
        }
        line.qtArguments.push_back(arg);
        line.qtArguments.push_back(args[++i]);
      } else {
        return Refused("unknown option '" + Printable(arg) + "'");
      }
    }
  }
  if (line.action != CommandLine::Action::Run) {
    return line;
  }
  if (files.size() > 1) {
    return Refused("one firmware file at most, " + std::to_string(files.size()) + " given");
  }
  if (!files.empty()) {
    line.file = files.front();
  }
  return line;
}

std::string UsageText() {
  return R"(Usage: ql480tx-upgrade [FILE.QLB]
       ql480tx-upgrade --help | --version

Opens the window that upgrades the firmware of a QL480TX-V5 over a serial
port or TCP, in three steps: select the firmware file, connect the device,
upgrade. With FILE.QLB the window starts with that file selected, as if it
had been chosen with "1. Select firmware file"; a .QLB file dropped on the
window is selected the same way while no step runs.

When a step fails, the status panel's tool tip says why; its context menu
copies the reason.

Options:
  -h, --help     this text
  -V, --version  the program's version
  --             ends the options: a FILE.QLB whose name begins with a dash
                 follows

The standard options of Qt programs, such as -platform NAME or -style NAME,
are handed on to Qt.

Exit status: 0 once the window has been closed, whatever the steps did;
1 for a usage error.
)";
}

}  // namespace ql::app
