// ql480tx-sim: the device emulator as a program. Prints the line that says
// where it serves, then runs until a signal, end of input or the run
// command (as asked), and saves the flash on the way out.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "sim/emulator.h"
#include "sim/flash_file.h"
#include "sim/options.h"
#include "sim/unique_fd.h"

namespace {

using ql::sim::UniqueFd;

// Lines for scripts go to standard output, flushed at once; the log goes to
// standard error. Both may be written from the emulator's thread.
std::mutex printMutex;

void PrintLine(std::FILE* stream, const std::string& line) {
  const std::lock_guard lock(printMutex);
  std::fprintf(stream, "%s\n", line.c_str());
  std::fflush(stream);
}

void Signal(const UniqueFd& event) {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto ignored = ::write(event.Get(), &one, sizeof one);
}

// Waits for a reason to stop: SIGINT, SIGTERM or SIGHUP, end of standard input
// (when asked), or the quit event.
void WaitForStop(int signals, const UniqueFd& quit, bool watchStdin) {
  for (;;) {
    std::array<pollfd, 3> fds{{
        {.fd = signals, .events = POLLIN, .revents = 0},
        {.fd = quit.Get(), .events = POLLIN, .revents = 0},
        {.fd = watchStdin ? STDIN_FILENO : -1, .events = POLLIN, .revents = 0},
    }};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (fds[0].revents != 0 || fds[1].revents != 0) {
      return;
    }
    if (fds[2].revents != 0) {
      std::array<char, 256> discard{};
      const ssize_t n = ::read(STDIN_FILENO, discard.data(), discard.size());
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        return;
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const ql::sim::ParsedOptions parsed =
      ql::sim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "ql480tx-sim: %s\nTry 'ql480tx-sim --help'.\n", parsed.error.c_str());
    return 2;
  }
  ql::sim::ProgramOptions options = parsed.options;
  if (options.help) {
    std::fputs(ql::sim::HelpText().c_str(), stdout);
    return 0;
  }
  if (!options.flashIn.empty()) {
    ql::sim::FlashImage image = ql::sim::LoadFlashFile(options.flashIn);
    if (!image.error.empty()) {
      std::fprintf(stderr, "ql480tx-sim: %s\n", image.error.c_str());
      return 1;
    }
    options.config.device.initialFlash = std::move(image.bytes);
  }

  // A reader that goes away must not kill the emulator before it has saved
  // the flash. SIGINT, SIGTERM and SIGHUP (a closed terminal) are taken
  // through a descriptor; blocked here, before any thread starts, they stay
  // blocked in every thread.
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const UniqueFd signals(::signalfd(-1, &stopSignals, SFD_CLOEXEC));
  const UniqueFd quit(::eventfd(0, EFD_CLOEXEC));

  ql::sim::EmulatorHooks hooks;
  hooks.log = [verbose = options.verbose](ql::sim::LogLevel level, const std::string& text) {
    if (verbose || level == ql::sim::LogLevel::Info) {
      PrintLine(stderr, "ql480tx-sim: " + text);
    }
  };
  if (options.replyTimes) {
    hooks.requestReceived = [](const ql::sim::RequestRecord& request) {
      const auto ns =
          std::chrono::duration_cast<std::chrono::nanoseconds>(request.firstByte.time_since_epoch())
              .count();
      PrintLine(stdout, "request " + std::to_string(request.number) + " " + std::to_string(ns));
    };
    hooks.replySent = [](const ql::sim::ReplyRecord& reply) {
      const auto ns =
          std::chrono::duration_cast<std::chrono::nanoseconds>(reply.crWritten.time_since_epoch())
              .count();
      PrintLine(stdout, "reply " + std::to_string(reply.command.number) + " " +
                            KindName(reply.command.kind) + " " + std::to_string(ns));
    };
  }
  hooks.endpointChanged = [](const std::string& description) { PrintLine(stdout, description); };
  if (options.quitAfterRun) {
    hooks.rebootStarted = [&quit] { Signal(quit); };
  }

  ql::sim::Emulator emulator(options.config, hooks);
  {
    // Held so that no line from the serving thread comes before the first one.
    std::unique_lock lock(printMutex);
    std::string error;
    if (!emulator.Start(error)) {
      lock.unlock();
      std::fprintf(stderr, "ql480tx-sim: %s\n", error.c_str());
      return 1;
    }
    std::printf("%s\n", emulator.Describe().c_str());
    if (!options.config.link.ptyLink.empty()) {
      std::printf("link %s\n", options.config.link.ptyLink.c_str());
    }
    std::fflush(stdout);
  }

  WaitForStop(signals.Get(), quit, options.quitOnEof);

  const std::string error = emulator.Stop();
  if (!error.empty()) {
    PrintLine(stderr, "ql480tx-sim: " + error);
    return 1;
  }
  return 0;
}
