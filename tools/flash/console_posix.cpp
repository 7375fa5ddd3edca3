// The terminal and arguments on Linux.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "console_system.h"

namespace ql::flash {

void PrepareStandardStreams() {
  ::signal(SIGPIPE, SIG_IGN);
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);
}

bool StatusRowsPossible() {
  return ::isatty(STDOUT_FILENO) == 1;
}

int TerminalColumns() {
  winsize size{};
  return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

}  // namespace ql::flash
