// Starting, feeding, reading and ending a test's child process.
#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace ql::testing_support {
namespace {

using Clock = std::chrono::steady_clock;

void CloseFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

ChildExit FromStatus(int status) {
  return WIFEXITED(status) ? ChildExit{.code = WEXITSTATUS(status), .signal = 0}
                           : ChildExit{.code = -1, .signal = WTERMSIG(status)};
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts) {
    pointers.push_back(text.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ChildProcess::ChildProcess(const ChildSetup& setup) {
  // The parent's ends are close-on-exec, so no other child inherits them and
  // keeps a pipe open past this child's end.
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  bool ready = true;
  if (setup.input) {
    ready = ready && ::pipe2(in, O_CLOEXEC) == 0;
  }
  if (setup.terminal) {
    winsize size = *setup.terminal;
    ready = ready && ::openpty(&out[0], &out[1], nullptr, nullptr, &size) == 0;
    if (ready) {
      ::fcntl(out[0], F_SETFD, FD_CLOEXEC);
      ::fcntl(out[1], F_SETFD, FD_CLOEXEC);
    }
  } else {
    ready = ready && ::pipe2(out, O_CLOEXEC) == 0;
  }
  if (setup.errorFile.empty()) {
    ready = ready && ::pipe2(err, O_CLOEXEC) == 0;
  }

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  if (setup.input) {
    ::posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  } else {
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  if (setup.errorFile.empty()) {
    ::posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  } else {
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, setup.errorFile.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  std::vector<std::string> argv = {setup.program};
  argv.insert(argv.end(), setup.args.begin(), setup.args.end());
  auto argp = Pointers(argv);
  std::vector<std::string> env = setup.environment.value_or(std::vector<std::string>{});
  auto envp = Pointers(env);
  if (ready) {
    const int failed = ::posix_spawn(&pid_, setup.program.c_str(), &actions, nullptr, argp.data(),
                                     setup.environment ? envp.data() : environ);
    if (failed != 0) {
      pid_ = -1;
      error_ = "cannot start " + setup.program + ": " + std::strerror(failed);
    }
  } else {
    error_ = std::string("cannot make the child's pipes: ") + std::strerror(errno);
  }
  ::posix_spawn_file_actions_destroy(&actions);
  CloseFd(in[0]);
  CloseFd(out[1]);
  CloseFd(err[1]);
  input_ = in[1];
  output_ = out[0];
  errors_ = err[0];
  if (!Started()) {
    CloseFd(input_);
    CloseFd(output_);
    CloseFd(errors_);
  }
}

ChildProcess::ChildProcess(const std::function<int()>& body) {
  pid_ = ::fork();
  if (pid_ == 0) {
    ::_exit(body());
  }
  if (pid_ < 0) {
    error_ = std::string("cannot fork: ") + std::strerror(errno);
  }
}

ChildProcess::~ChildProcess() {
  CloseInput();
  CloseOutput();
  CloseFd(errors_);
  Kill();
}

bool ChildProcess::ReadFrom(int& fd, std::string& into) {
  char buffer[4096];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n <= 0) {
    // A pseudo-terminal whose other side has closed reads as an error.
    CloseFd(fd);
    return false;
  }
  into.append(buffer, static_cast<std::size_t>(n));
  return true;
}

bool ChildProcess::Pump(std::chrono::milliseconds timeout) {
  pollfd fds[2] = {{output_, POLLIN, 0}, {errors_, POLLIN, 0}};
  if (output_ < 0 && errors_ < 0) {
    return false;
  }
  if (::poll(fds, 2, static_cast<int>(timeout.count())) > 0) {
    if (output_ >= 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      ReadFrom(output_, out_);
    }
    if (errors_ >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      ReadFrom(errors_, err_);
    }
  }
  return output_ >= 0 || errors_ >= 0;
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (const auto eol = out_.find('\n', taken_); eol != std::string::npos) {
      std::string line = out_.substr(taken_, eol - taken_);
      taken_ = eol + 1;
      return line;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{.fd = output_, .events = POLLIN, .revents = 0};
    if (output_ < 0 || left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
        !ReadFrom(output_, out_)) {
      return std::nullopt;
    }
  }
}

void ChildProcess::CloseOutput() {
  CloseFd(output_);
}

bool ChildProcess::WriteInput(std::string_view bytes) {
  // A child that has stopped reading must fail the write, not end the test:
  // SIGPIPE is held back on this thread and taken off again if raised.
  sigset_t pipeSignal;
  sigset_t before;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
  bool broken = false;
  while (input_ >= 0 && !bytes.empty() && !broken) {
    const ssize_t n = ::write(input_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    broken = n <= 0;
    bytes.remove_prefix(broken ? 0 : static_cast<std::size_t>(n));
  }
  const timespec now{0, 0};
  while (broken && ::sigtimedwait(&pipeSignal, nullptr, &now) == SIGPIPE) {
  }
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return input_ >= 0 && !broken;
}

void ChildProcess::CloseInput() {
  CloseFd(input_);
}

void ChildProcess::Signal(int signal) const {
  if (Started() && !exit_) {
    ::kill(pid_, signal);
  }
}

std::optional<ChildExit> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Started() && !exit_) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      exit_ = FromStatus(status);
    } else if (Clock::now() >= deadline) {
      break;
    } else {
      // Polling the child's state, bounded by the deadline.
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return exit_;
}

ChildExit ChildProcess::Kill() {
  if (Started() && !exit_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    exit_ = FromStatus(status);
  }
  return exit_.value_or(ChildExit{});
}

}  // namespace ql::testing_support
