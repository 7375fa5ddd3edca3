// Entry point of ql480tx-upgrade: the command line first, answered without a
// display where it asks for text alone; then the application object, the
// window, the file given on the command line, and the event loop until the
// window is closed. Returns 0 once the window has run, also when an
// exception ended the run after being shown; 1 for a usage error.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/command_line.h"
#include "app/frm_module.h"

int main(int argc, char* argv[]) {
  using ql::app::CommandLine;
  const CommandLine line =
      ql::app::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  switch (line.action) {
    case CommandLine::Action::Help:
      std::fputs(ql::app::UsageText().c_str(), stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    case CommandLine::Action::Version:
      std::printf("ql480tx-upgrade %s\n", QL_VERSION);
      return std::fflush(stdout) == 0 ? 0 : 1;
    case CommandLine::Action::UsageError:
      std::fprintf(stderr, "ql480tx-upgrade: %s\nTry 'ql480tx-upgrade --help'.\n",
                   line.error.c_str());
      return 1;
    case CommandLine::Action::Run:
      break;
  }

  // Qt sees its own options alone; the file is the window's.
  std::vector<std::string> qtArguments = {argv[0]};
  qtArguments.insert(qtArguments.end(), line.qtArguments.begin(), line.qtArguments.end());
  std::vector<char*> qtArgv;
  for (std::string& argument : qtArguments) {
    qtArgv.push_back(argument.data());
  }
  qtArgv.push_back(nullptr);
  int qtArgc = static_cast<int>(qtArguments.size());

  ql::app::Application app(qtArgc, qtArgv.data());
  try {
    ql::app::TfrmModule frmModule(ql::app::SystemServices());
    frmModule.ShowCentred();
    if (!line.file.empty()) {
      ql::app::SelectStartFile(frmModule, line.file);
    }
    ql::app::Application::exec();
  } catch (const std::exception& error) {
    app.ShowException(error);
  }
  return 0;
}
