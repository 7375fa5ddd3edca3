// Runs ql480tx-flash as a child process and collects what it writes: on
// pipes, or with standard output on a pseudo-terminal of a given size; with
// a hook that watches the run and may signal it, or a reader that goes away
// after the first line (as `| head -1` does).
#pragma once

#include <sys/ioctl.h>
#include <sys/types.h>

#include <QJsonObject>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ql::flash {

struct ProgramRun {
  int status = -1;  // the exit status; -1 when ended by a signal
  std::string out;
  std::string err;
  double seconds = 0;
};

struct RunSetup {
  std::vector<std::string> args;
  std::filesystem::path configHome;
  std::vector<std::string> env;  // more "NAME=value" entries
  std::chrono::seconds limit{40};
  // Called about every 10 ms while the program runs, with what it wrote so
  // far; it may send the program signals.
  std::function<void(pid_t pid, const std::string& out, const std::string& err)> during;
  // Stop reading standard output and close it after its first line.
  bool closeOutAfterFirstLine = false;
  // Standard output is a pseudo-terminal of this size.
  std::optional<winsize> terminal;
};

ProgramRun RunFlash(const RunSetup& setup);

// The run with `args`, XDG_CONFIG_HOME set to `configHome`; killed after `limit`.
ProgramRun RunFlash(const std::vector<std::string>& args, const std::filesystem::path& configHome,
                    std::chrono::seconds limit = std::chrono::seconds(40));

// Every line of `out` read as one JSON object (a failure for each that is not).
std::vector<QJsonObject> JsonLines(const std::string& out);

}  // namespace ql::flash
