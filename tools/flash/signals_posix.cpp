// Taking the signals on a thread of their own (POSIX).
#include "signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <string>

namespace ql::flash {
namespace {

// SIGUSR2 only ends the watching thread; it is sent to that thread alone.
sigset_t WatchedSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGWINCH, SIGUSR2}) {
    sigaddset(&set, sig);
  }
  return set;
}

const char* Name(int sig) {
  return sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "SIGHUP";
}

}  // namespace

void BlockWatchedSignals() {
  const sigset_t set = WatchedSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalWatcher::SignalWatcher(std::atomic<bool>& stop, std::function<bool(const char*)> onStop,
                             std::function<void()> onResize)
    : stop_(stop),
      onStop_(std::move(onStop)),
      onResize_(std::move(onResize)),
      thread_([this] { Loop(); }) {}

SignalWatcher::~SignalWatcher() {
  pthread_kill(thread_.native_handle(), SIGUSR2);
  thread_.join();
}

void SignalWatcher::SetLeftover(const std::string& path) {
  std::lock_guard lock(mutex_);
  leftover_ = path;
}

void SignalWatcher::Loop() {
  const sigset_t set = WatchedSet();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0 || sig == SIGUSR2) {
      return;
    }
    if (sig == SIGWINCH) {
      onResize_();
      continue;
    }
    if (!stop_.exchange(true)) {
      if (!onStop_(Name(sig))) {
        EndAtOnce("stopped before any device was touched");
      }
      continue;
    }
    if (sig == SIGINT) {
      // Ctrl-C again: no waiting for the exchanges in progress.
      EndAtOnce(
          "stopped at once: a device may be left between a command and its reply, "
          "holding a partial image");
    }
    // Already stopping; only Ctrl-C again ends at once.
  }
}

void SignalWatcher::EndAtOnce(const char* why) {
  {
    std::lock_guard lock(mutex_);
    if (!leftover_.empty()) {
      ::unlink(leftover_.c_str());
    }
  }
  const std::string text = std::string("\nql480tx-flash: ") + why + "\n";
  (void)!::write(STDERR_FILENO, text.data(), text.size());
  ::_exit(130);
}

}  // namespace ql::flash
