// Taking the console's control events (Windows).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "console_system.h"
#include "image/utf8_path.h"
#include "signals.h"

namespace ql::flash {
namespace {

constexpr DWORD kWidthLookMs = 250;

// The watcher the handler answers for; one at a time.
std::atomic<SignalWatcher*> current{nullptr};
// Set by the handler for the watcher it found.
void (*answer)(SignalWatcher*, DWORD) = nullptr;

const char* Name(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
      return "Ctrl-C";
    case CTRL_BREAK_EVENT:
      return "Ctrl-Break";
    case CTRL_CLOSE_EVENT:
      return "console closed";
    case CTRL_LOGOFF_EVENT:
      return "log-off";
    default:
      return "shut-down";
  }
}

BOOL WINAPI Handler(DWORD event) {
  SignalWatcher* watcher = current.load();
  if (watcher == nullptr || answer == nullptr) {
    return FALSE;
  }
  answer(watcher, event);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // Returning would end the process at once. Waiting here lets the
    // devices stop at the next exchange boundary and the program end by
    // itself with its own status; the system ends it after its time-out.
    ::Sleep(INFINITE);
  }
  return TRUE;
}

}  // namespace

void BlockWatchedSignals() {}

SignalWatcher::SignalWatcher(std::atomic<bool>& stop, std::function<bool(const char*)> onStop,
                             std::function<void()> onResize)
    : stop_(stop), onStop_(std::move(onStop)), onResize_(std::move(onResize)) {
  ended_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  answer = [](SignalWatcher* watcher, DWORD event) { watcher->Answer(event); };
  current = this;
  ::SetConsoleCtrlHandler(&Handler, TRUE);
  thread_ = std::thread([this] { Loop(); });
}

SignalWatcher::~SignalWatcher() {
  ::SetConsoleCtrlHandler(&Handler, FALSE);
  current = nullptr;
  ::SetEvent(static_cast<HANDLE>(ended_));
  thread_.join();
  ::CloseHandle(static_cast<HANDLE>(ended_));
}

void SignalWatcher::SetLeftover(const std::string& path) {
  std::lock_guard lock(mutex_);
  leftover_ = path;
}

// Looks at the console's width until the watcher ends.
void SignalWatcher::Loop() {
  int columns = TerminalColumns();
  while (::WaitForSingleObject(static_cast<HANDLE>(ended_), kWidthLookMs) == WAIT_TIMEOUT) {
    const int now = TerminalColumns();
    if (now != columns) {
      columns = now;
      onResize_();
    }
  }
}

void SignalWatcher::Answer(unsigned long event) {
  const char* name = Name(event);
  if (!stop_.exchange(true)) {
    if (!onStop_(name)) {
      EndAtOnce("stopped before any device was touched");
    }
    return;
  }
  if (event == CTRL_C_EVENT) {
    // Ctrl-C again: no waiting for the exchanges in progress.
    EndAtOnce(
        "stopped at once: a device may be left between a command and its reply, "
        "holding a partial image");
  }
  // Already stopping; only Ctrl-C again ends at once.
}

void SignalWatcher::EndAtOnce(const char* why) {
  {
    std::lock_guard lock(mutex_);
    if (!leftover_.empty()) {
      ::DeleteFileW(image::Utf8Path(leftover_).wstring().c_str());
    }
  }
  const std::string text = std::string("\nql480tx-flash: ") + why + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
  std::_Exit(130);
}

}  // namespace ql::flash
