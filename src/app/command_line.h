// The window's command line: an optional firmware file to start with,
// --help and --version, and the standard options of Qt programs, which are
// handed on to Qt. Read before any display is opened, so that --help,
// --version and a usage error answer without one.
#pragma once

#include <string>
#include <vector>

namespace ql::app {

struct CommandLine {
  enum class Action {
    Run,         // open the window
    Help,        // print UsageText() on standard output, exit 0
    Version,     // print the version on standard output, exit 0
    UsageError,  // print `error` and a hint on standard error, exit 1
  };
  Action action = Action::Run;
  // FILE.QLB as given; empty when none was.
  std::string file;
  // The options of Qt programs that were given, with their values, in order,
  // for the application object.
  std::vector<std::string> qtArguments;
  // UsageError: what is wrong, printable on a terminal.
  std::string error;
};

// `args` are the arguments after the program's name.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

std::string UsageText();

}  // namespace ql::app
