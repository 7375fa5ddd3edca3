// How ql480tx-flash answers signals. SIGINT, SIGTERM and SIGHUP ask every
// device to stop at the next exchange boundary: a frame already written
// always gets its reply window, so the device is never left between a
// command and its answer, and the program then says what each device holds.
// A second SIGINT (Ctrl-C again) ends the program at once. SIGWINCH redraws
// the status rows at the terminal's new width.
//
// The signals are blocked in every thread and taken by one watching thread
// with sigwait(), so no system call of a device's link is ever interrupted
// and the answers run as ordinary code.
//
// On Windows (signals_win32.cpp) the console's control events take their
// place: Ctrl-C as SIGINT (a second one ends the program at once), Ctrl-Break
// and the console's closing, log-off or shut-down as SIGTERM; each is named
// as the console calls it. The watching thread looks at the console's width
// four times a second instead of SIGWINCH. Closing the console leaves the
// program a few seconds: the stop at the next exchange boundary takes well
// under one.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace ql::flash {

// Blocks the watched signals in the calling thread and in every thread it
// starts afterwards. Call first thing in main, before any thread exists.
// Nothing to do on Windows.
void BlockWatchedSignals();

class SignalWatcher {
 public:
  // `onStop` is told the name of the first stop signal ("SIGINT", on
  // Windows "Ctrl-C"), after `stop` has been set; it returns false while no device has been touched
  // yet, and the program then ends at once with status 130. `onResize` is
  // told of every SIGWINCH (on Windows: of every change of width).
  SignalWatcher(std::atomic<bool>& stop, std::function<bool(const char* name)> onStop,
                std::function<void()> onResize);
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

  // A file the program is writing that a second Ctrl-C removes before it
  // ends the program; empty for none.
  void SetLeftover(const std::string& path);

 private:
  void Loop();
  // Removes the leftover, says why on standard error and ends the program.
  [[noreturn]] void EndAtOnce(const char* why);
  // Windows: answers one console control event, on the thread the system
  // calls the handler on.
  void Answer(unsigned long event);

  std::atomic<bool>& stop_;
  std::function<bool(const char*)> onStop_;
  std::function<void()> onResize_;
  std::mutex mutex_;
  std::string leftover_;
  // Windows: the event that ends the watching thread.
  void* ended_ = nullptr;
  std::thread thread_;
};

}  // namespace ql::flash
