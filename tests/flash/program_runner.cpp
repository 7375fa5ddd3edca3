// Running the program under test and collecting its output.
#include "program_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QJsonDocument>
#include <sstream>

extern char** environ;

namespace ql::flash {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

ProgramRun RunFlash(const RunSetup& setup) {
  int outPipe[2] = {-1, -1};
  int errPipe[2];
  EXPECT_EQ(pipe(errPipe), 0);
  if (setup.terminal) {
    winsize size = *setup.terminal;
    EXPECT_EQ(openpty(&outPipe[0], &outPipe[1], nullptr, nullptr, &size), 0);
  } else {
    EXPECT_EQ(pipe(outPipe), 0);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, outPipe[0]);
  posix_spawn_file_actions_addclose(&actions, errPipe[0]);

  std::vector<std::string> argv = {QL_FLASH_PROGRAM};
  argv.insert(argv.end(), setup.args.begin(), setup.args.end());
  std::vector<char*> argp;
  for (auto& a : argv) {
    argp.push_back(a.data());
  }
  argp.push_back(nullptr);
  std::vector<std::string> env = {"XDG_CONFIG_HOME=" + setup.configHome.string(),
                                  "HOME=" + setup.configHome.string(), "PATH=/usr/bin:/bin"};
  env.insert(env.end(), setup.env.begin(), setup.env.end());
  std::vector<char*> envp;
  for (auto& e : env) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);

  ProgramRun run;
  const auto start = Clock::now();
  pid_t pid = -1;
  const int spawned =
      posix_spawn(&pid, QL_FLASH_PROGRAM, &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);
  EXPECT_EQ(spawned, 0);

  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  while (open > 0 && Clock::now() - start < setup.limit) {
    if (setup.during) {
      setup.during(pid, run.out, run.err);
    }
    if (poll(fds, 2, setup.during ? 10 : 100) <= 0) {
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        continue;
      }
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        // A pseudo-terminal whose other side has closed reads as an error.
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
        continue;
      }
      std::string& into = i == 0 ? run.out : run.err;
      into.append(buffer, static_cast<std::size_t>(n));
      if (i == 0 && setup.closeOutAfterFirstLine && into.find('\n') != std::string::npos) {
        into.resize(into.find('\n') + 1);
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  bool killed = false;
  for (auto& fd : fds) {
    if (fd.fd >= 0) {
      close(fd.fd);
      killed = true;
    }
  }
  if (killed) {
    kill(pid, SIGKILL);
    ADD_FAILURE() << "ql480tx-flash did not end within its limit";
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
