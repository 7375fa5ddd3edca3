// Running the program under test and collecting its output.
#include "program_runner.h"

#include <gtest/gtest.h>
#include <QJsonDocument>
#include <algorithm>
#include <sstream>

#include "support/child_process.h"

namespace ql::flash {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

ProgramRun RunFlash(const RunSetup& setup) {
  std::vector<std::string> env = {"XDG_CONFIG_HOME=" + setup.configHome.string(),
                                  "HOME=" + setup.configHome.string(), "PATH=/usr/bin:/bin"};
  env.insert(env.end(), setup.env.begin(), setup.env.end());
  const auto start = Clock::now();
  testing_support::ChildProcess child({.program = QL_FLASH_PROGRAM,
                                       .args = setup.args,
                                       .environment = env,
                                       .terminal = setup.terminal});
  EXPECT_TRUE(child.Started()) << child.Error();

  bool outOpen = true;
  bool open = true;
  while (open && Clock::now() - start < setup.limit) {
    if (setup.during) {
      setup.during(child.Pid(), child.Out(), child.Err());
    }
    open = child.Pump(setup.during ? 10ms : 100ms);
    if (outOpen && setup.closeOutAfterFirstLine && child.Out().find('\n') != std::string::npos) {
      child.CloseOutput();
      outOpen = false;
    }
  }
  ProgramRun run;
  run.out = child.Out();
  run.err = child.Err();
  if (!outOpen) {
    run.out.resize(run.out.find('\n') + 1);
  }
  // Its output closed, it ends at once; a run past its limit is killed.
  std::optional<testing_support::ChildExit> ended;
  if (!open) {
    ended = child.Wait(std::max<std::chrono::milliseconds>(
        10s, std::chrono::duration_cast<std::chrono::milliseconds>(setup.limit -
                                                                   (Clock::now() - start))));
  }
  if (!ended) {
    ended = child.Kill();
    ADD_FAILURE() << "ql480tx-flash did not end within its limit";
  }
  run.status = ended->code;
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return run;
}

ProgramRun RunFlash(const std::vector<std::string>& args, const fs::path& configHome,
                    std::chrono::seconds limit) {
  RunSetup setup;
  setup.args = args;
  setup.configHome = configHome;
  setup.limit = limit;
  return RunFlash(setup);
}

std::vector<QJsonObject> JsonLines(const std::string& out) {
  std::vector<QJsonObject> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    QJsonParseError error;
    const auto doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << line;
    EXPECT_TRUE(doc.isObject()) << line;
    lines.push_back(doc.object());
  }
  return lines;
}

}  // namespace ql::flash
