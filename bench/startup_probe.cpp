// startup_probe: how long a program takes from its launch until its first
// top-level window is mapped on the X display, and how much memory it holds
// once it has gone idle. Meant to run under Xvfb (scripts/bench does).
//
//   startup_probe [--runs N] PROGRAM [ARGS...]
//
// The time runs from just before the program is started to the MapNotify of
// its first ordinary (not override-redirect) window, which the X server
// sends the moment the window is shown. Idle means the program's CPU time
// has not moved for half a second; its VmRSS is read then. Each run ends
// the program with SIGTERM.

// First: Xlib's macros None and Status would replace names in it.
#include "bench_support.h"
#include "common/command_options.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Steady = std::chrono::steady_clock;

constexpr auto kShowDeadline = std::chrono::seconds(30);
constexpr auto kIdleDeadline = std::chrono::seconds(15);
constexpr auto kIdleCheck = std::chrono::milliseconds(100);
constexpr int kQuietChecks = 5;

struct RunResult {
  double showMs = 0;
  long rssKb = 0;
  std::string title;
};

// User plus system CPU time of the process, in clock ticks; nullopt once it
// has gone.
std::optional<long long> CpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) {
    return std::nullopt;
  }
  // Fields after the command name, which is in parentheses and may hold blanks.
  std::istringstream rest(text.substr(text.rfind(')') + 2));
  std::string field;
  long long utime = 0;
  long long stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) {
      utime = std::stoll(field);
    } else if (i == 15) {
      stime = std::stoll(field);
    }
  }
  return utime + stime;
}

long StatusKb(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name + ":", 0) == 0) {
      return std::strtol(line.c_str() + name.size() + 1, nullptr, 10);
    }
  }
  return -1;
}

std::string WindowTitle(Display* display, Window window) {
  char* name = nullptr;
  if (XFetchName(display, window, &name) == 0 || name == nullptr) {
    return {};
  }
  std::string title = name;
  XFree(name);
  return title;
}

void Stop(pid_t pid) {
  ::kill(pid, SIGTERM);
  const auto deadline = Steady::now() + std::chrono::seconds(3);
  while (Steady::now() < deadline) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) {
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

std::optional<RunResult> RunOnce(std::vector<char*>& argv) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "startup_probe: cannot open the X display (is DISPLAY set?)\n");
    return std::nullopt;
  }
  XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
  XSync(display, False);

  const auto start = Steady::now();
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    std::fprintf(stderr, "startup_probe: cannot start %s\n", argv[0]);
    XCloseDisplay(display);
    return std::nullopt;
  }

  std::optional<RunResult> result;
  const auto showBy = start + kShowDeadline;
  while (!result && Steady::now() < showBy) {
    if (XPending(display) == 0) {
      pollfd pfd{ConnectionNumber(display), POLLIN, 0};
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(showBy - Steady::now()).count();
      ::poll(&pfd, 1, static_cast<int>(std::max<long long>(left, 1)));
      continue;
    }
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == MapNotify && !event.xmap.override_redirect) {
      result = RunResult{};
      result->showMs = std::chrono::duration<double, std::milli>(Steady::now() - start).count();
      result->title = WindowTitle(display, event.xmap.window);
    }
  }
  XCloseDisplay(display);
  if (!result) {
    std::fprintf(stderr, "startup_probe: no window within %lld s\n",
                 static_cast<long long>(kShowDeadline.count()));
    Stop(pid);
    return std::nullopt;
  }

  // Idle: the CPU time stands still for kQuietChecks checks in a row.
  const auto idleBy = Steady::now() + kIdleDeadline;
  std::optional<long long> last = CpuTicks(pid);
  int quiet = 0;
  while (quiet < kQuietChecks && Steady::now() < idleBy && last) {
    std::this_thread::sleep_for(kIdleCheck);
    const auto now = CpuTicks(pid);
    quiet = now == last ? quiet + 1 : 0;
    last = now;
  }
  result->rssKb = StatusKb(pid, "VmRSS");
  if (quiet < kQuietChecks) {
    std::fprintf(stderr, "startup_probe: the program did not go idle; VmRSS read anyway\n");
  }
  Stop(pid);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  const std::vector<ql::command_options::Option> table = {
      {"--runs", 0, true, ql::command_options::Into(runs)},
  };
  // The program's own arguments follow it untouched.
  const auto parsed = ql::command_options::Parse(table, {argv + 1, argv + argc},
                                                 {.operands = true, .firstOperandEnds = true});
  if (!parsed.error.empty() || parsed.operands.empty() || runs < 1) {
    std::fprintf(stderr, "usage: startup_probe [--runs N] PROGRAM [ARGS...]\n");
    return 2;
  }
  std::vector<std::string> programArgs = parsed.operands;
  std::vector<char*> programArgv;
  for (auto& arg : programArgs) {
    programArgv.push_back(arg.data());
  }
  programArgv.push_back(nullptr);

  std::vector<double> showMs;
  std::vector<double> rssKb;
  std::string title;
  for (int i = 0; i < runs; ++i) {
    const auto result = RunOnce(programArgv);
    if (!result) {
      return 1;
    }
    std::printf("run %d: window \"%s\" shown after %.1f ms; idle VmRSS %ld kB\n", i + 1,
                result->title.c_str(), result->showMs, result->rssKb);
    showMs.push_back(result->showMs);
    rssKb.push_back(static_cast<double>(result->rssKb));
    title = result->title;
  }
  std::printf("| start-up to window shown (Xvfb) | first %.0f ms, median %.0f ms, max %.0f ms |\n",
              showMs.front(), ql::bench::Percentile(showMs, 50),
              ql::bench::Percentile(showMs, 100));
  std::printf("| idle window VmRSS | median %.1f MiB (%d runs) |\n",
              ql::bench::Percentile(rssKb, 50) / 1024.0, runs);
  return 0;
}
