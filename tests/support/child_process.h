// A program run by a test as a child process (or a piece of the test run in
// a copy of its own process): its arguments and
// environment, standard input on a pipe the test writes and closes, standard
// output on a pipe or a pseudo-terminal, standard error on a pipe or in a
// file. Every wait has a bound; a child still running when the value goes is
// killed and reaped, so no test leaves one behind.
#pragma once

#include <sys/ioctl.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ql::testing_support {

struct ChildSetup {
  std::string program{};  // a path: no search of PATH
  std::vector<std::string> args{};
  // "NAME=value" entries, the whole environment; nullopt: this process's.
  std::optional<std::vector<std::string>> environment{};
  // Standard input a pipe for WriteInput and CloseInput; otherwise /dev/null.
  bool input = false;
  // Standard output a pseudo-terminal of this size instead of a pipe.
  std::optional<winsize> terminal{};
  // Standard error into this file (created or emptied) instead of a pipe.
  std::string errorFile{};
};

// How a child ended.
struct ChildExit {
  int code = -1;   // the exit status; -1 when a signal ended it
  int signal = 0;  // the signal that ended it; 0 when it exited
};

class ChildProcess {
 public:
  explicit ChildProcess(const ChildSetup& setup);
  // A copy of this process that runs `body` and exits with what it returns;
  // it shares the standard streams and everything else open here.
  explicit ChildProcess(const std::function<int()>& body);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Whether the program was started; when not, Error() says why.
  bool Started() const { return pid_ > 0; }
  const std::string& Error() const { return error_; }
  pid_t Pid() const { return pid_; }

  // Reads what the child has written, waiting at most `timeout` for some.
  // False once standard output and the error pipe are both at their end.
  bool Pump(std::chrono::milliseconds timeout);
  // Everything read so far from standard output and the error pipe.
  const std::string& Out() const { return out_; }
  const std::string& Err() const { return err_; }
  // The next line of standard output not yet taken, without its newline;
  // nullopt at the end of output or when none is complete within `timeout`.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // Stops reading standard output and closes it, as a reader that goes away.
  void CloseOutput();

  // False when the child no longer reads (or input was not asked for).
  bool WriteInput(std::string_view bytes);
  void CloseInput();

  void Signal(int signal) const;

  // How the child ended, once it has; nullopt when it is still running after
  // `timeout` (it is left running: Kill or the destructor ends it).
  std::optional<ChildExit> Wait(std::chrono::milliseconds timeout);
  // Kills it if it is still running, and reaps it.
  ChildExit Kill();

 private:
  bool ReadFrom(int& fd, std::string& into);

  pid_t pid_ = -1;
  std::string error_;
  int input_ = -1;
  int output_ = -1;
  int errors_ = -1;
  std::string out_;
  std::string err_;
  std::size_t taken_ = 0;  // how much of out_ ReadLine has given
  std::optional<ChildExit> exit_;
};

}  // namespace ql::testing_support
