// ql480tx-flash: upgrades one or several devices from the command line with
// the same connect procedure and upgrade sequence as the window; or checks
// a device's flash against a file, or reads it into one.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "checked_files.h"
#include "console.h"
#include "console_system.h"
#include "device_run.h"
#include "json_events.h"
#include "port_details.h"
#include "run_time.h"
#include "settings/port_list.h"
#include "settings/settings.h"
#include "settings/user_store.h"
#include "signals.h"
#include "single_run.h"
#include "station_run.h"

namespace {

using namespace ql;

// Test hook, deliberately left out of --help: the length in milliseconds of
// the wait after the run command, so the tests of this program need not
// spend seven seconds on every upgrade. Nothing is sent to the device after
// that wait, so a shorter one changes nothing the device sees; it only ends
// the program sooner.
constexpr const char* kRunWaitHook = "QL480TX_FLASH_RUN_WAIT_MS";

std::optional<std::uint32_t> RunWaitOverride() {
  const char* text = std::getenv(kRunWaitHook);
  if (text == nullptr || *text == '\0') {
    return std::nullopt;
  }
  char* end = nullptr;
  const unsigned long ms = std::strtoul(text, &end, 10);
  if (*end != '\0' || ms > 7000) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(ms);
}

// Output before the console exists, or after a usage error: straight to the
// stream, with nothing else writing.
void Say(std::FILE* stream, const std::string& line) {
  std::fputs((line + "\n").c_str(), stream);
  std::fflush(stream);
}

// The same for text meant for a person, each line made safe for a terminal.
void Tell(std::FILE* stream, const std::string& text) {
  std::string safe;
  std::size_t from = 0;
  for (std::size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1) {
    safe += flash::Printable(std::string_view(text).substr(from, end - from)) + "\n";
  }
  Say(stream, safe + flash::Printable(std::string_view(text).substr(from)));
}

// Where the answer to a stop signal is written once the devices run.
struct SignalTarget {
  std::mutex mutex;
  flash::Console* console = nullptr;
  // The stop flag is set before the answer is written: the devices may end
  // first, and the answer must still come before the console closes.
  bool answered = false;
  std::condition_variable answer;

  void AwaitAnswer(const std::atomic<bool>& stop) {
    std::unique_lock lock(mutex);
    if (stop.load()) {
      answer.wait_for(lock, std::chrono::seconds(2), [this] { return answered; });
    }
  }
};

// The links of the command line, each host looked up; without one the link
// the window stored.
std::vector<flash::RunLink> LinksOf(const flash::Options& options,
                                    const link::LinkSettings& stored) {
  std::vector<flash::RunLink> links;
  if (options.devices.empty()) {
    links.push_back(flash::StoredLink(stored));
  }
  for (const auto& device : options.devices) {
    links.push_back(flash::ResolvedLink(device));
  }
  return links;
}

// Says why a file of the command line cannot be used, before any device is
// touched, and returns the status that ends the program.
int FileError(const flash::Options& options, const std::string& message) {
  if (options.json) {
    Say(stdout, flash::JsonLine(flash::FileErrorEvent(flash::kExitFileUnreadable, message)));
  }
  Tell(stderr, "ql480tx-flash: " + message);
  return flash::kExitFileUnreadable;
}

// The files the program writes besides its output.
struct OutputFiles {
  std::unique_ptr<flash::TraceFile> trace;
  std::unique_ptr<flash::OutputFile> out;  // --read-flash OUT
  std::unique_ptr<flash::StationLog> log;
};

// Opens the files to be written; an error message when one cannot be.
std::string OpenOutputFiles(const flash::Options& options, OutputFiles& files) {
  std::string why;
  if (!options.tracePath.empty()) {
    files.trace = flash::TraceFile::Open(options.tracePath, why);
    if (!files.trace) {
      return "cannot write the trace " + options.tracePath + ": " + why;
    }
  }
  if (!options.logPath.empty()) {
    files.log = flash::StationLog::Open(options.logPath, why);
    if (!files.log) {
      return "cannot write the log " + options.logPath + ": " + why;
    }
  }
  if (options.mode == flash::Mode::ReadFlash) {
    files.out = flash::OutputFile::Prepare(options.readFlashPath, options.force, why);
    if (!files.out) {
      return "cannot write " + options.readFlashPath + ": " + why;
    }
  }
  return {};
}

// Runs every device on its own thread, with its own link and clock, until
// each has ended; returns the highest status of any, at least 2 when a
// line of the station log could not be written.
int RunDevices(const std::vector<std::unique_ptr<flash::DeviceRun>>& runs,
               const flash::RunShared& shared) {
  std::vector<std::thread> threads;
  for (const auto& run : runs) {
    threads.emplace_back([&shared, r = run.get()] {
      link::SystemClock clock;
      if (shared.options.repeat) {
        flash::RunStationOf(*r, shared, clock);
      } else {
        flash::RunSingle(*r, shared, clock);
      }
    });
  }
  int status = flash::kExitOk;
  for (std::size_t i = 0; i < threads.size(); ++i) {
    threads[i].join();
    status = std::max(status, runs[i]->outcome.status);
    if (runs[i]->logFailed) {
      status = std::max<int>(status, flash::kExitFileUnreadable);
    }
  }
  return status;
}

// The table at the end: per link in automatic mode, per device when
// several ran.
void Summarise(flash::Console& console, const flash::Options& options,
               const std::vector<std::unique_ptr<flash::DeviceRun>>& runs) {
  if (options.json || (!options.repeat && (runs.size() < 2 || options.quiet))) {
    return;
  }
  if (options.repeat) {
    std::vector<flash::StationSummary> stations;
    for (const auto& run : runs) {
      stations.push_back(run->station);
    }
    flash::PrintStationSummary(console, stations);
    return;
  }
  std::vector<flash::DeviceSummary> devices;
  for (const auto& run : runs) {
    const bool stopped = run->outcome.status == flash::kExitInterrupted;
    devices.push_back({run->label, run->outcome.status, run->view->blocksProgrammed(),
                       run->view->blocksVerified(), run->seconds,
                       stopped ? std::string("(stopped)") : run->view->lastMessage()});
  }
  flash::PrintDeviceSummary(console, devices);
}

}  // namespace

int main(int argc, char** argv) {
  flash::SecondsSinceStart();
  // Before any thread exists, so every thread inherits it: the signals are
  // taken by the watcher alone.
  flash::BlockWatchedSignals();
  // A reader that has gone must never end an upgrade in progress: writes
  // to it fail instead, and the console drops the rest.
  flash::PrepareStandardStreams();

  const std::vector<std::string> args = flash::CommandLineArguments(argc, argv);
  const flash::ParseResult parsed = flash::ParseOptions(args);
  const flash::Options& options = parsed.options;
  auto usageError = [&parsed](const std::string& message) {
    if (parsed.jsonRequested) {
      Say(stdout, flash::JsonLine(flash::UsageErrorEvent(flash::kExitUsage, message)));
    }
    Tell(stderr, "ql480tx-flash: " + message + "\nTry 'ql480tx-flash --help'.");
    return flash::kExitUsage;
  };
  if (!parsed.error.empty()) {
    return usageError(parsed.error);
  }
  if (options.help) {
    std::fputs(flash::UsageText().c_str(), stdout);
    return flash::kExitOk;
  }
  if (options.version) {
    std::printf("ql480tx-flash %s\n", QL_VERSION);
    return flash::kExitOk;
  }
  if (options.listPorts) {
    for (const std::string& path : settings::SystemPortNames()) {
      const flash::PortDetails port = flash::DescribePort(path);
      if (options.json) {
        Say(stdout, flash::JsonLine(flash::PortEvent(port)));
      } else {
        Tell(stdout, flash::PortLine(port));
      }
    }
    return flash::kExitOk;
  }

  // From here on a stop signal is answered: before any device is touched
  // it ends the program at once, later it stops each device at the next
  // exchange boundary.
  std::atomic<bool> stop{false};
  // Where the stations of the automatic mode wait between their looks.
  flash::StopWait stopWait(stop);
  SignalTarget signalTarget;
  flash::SignalWatcher watcher(
      stop,
      [&signalTarget, &stopWait](const char* name) {
        stopWait.Wake();
        std::lock_guard lock(signalTarget.mutex);
        if (signalTarget.console == nullptr) {
          return false;
        }
        signalTarget.console->Error(
            std::string("ql480tx-flash: ") + name +
            ": stopping at the next exchange boundary (Ctrl-C again quits at once)");
        signalTarget.answered = true;
        signalTarget.answer.notify_all();
        return true;
      },
      [&signalTarget] {
        std::lock_guard lock(signalTarget.mutex);
        if (signalTarget.console != nullptr) {
          signalTarget.console->Resize(flash::TerminalColumns());
        }
      });

  const std::unique_ptr<settings::SettingsStore> store = settings::OpenUserSettingsStore();
  // Without a link on the command line only one the window stored is used:
  // the defaults would open a port nobody chose.
  if (options.devices.empty() && !settings::HoldsStoredLink(*store)) {
    return usageError(
        "no link given and none stored by the window: name the device's link with --serial PORT "
        "or --tcp HOST:PORT");
  }
  const settings::Settings stored = settings::LoadSettings(*store);

  const std::vector<flash::RunLink> links = LinksOf(options, stored.link);
  if (const std::string twice = flash::SameLinkTwice(links); !twice.empty()) {
    return usageError("the same link given twice: " + twice);
  }
  // Before any file is opened for writing.
  if (const std::string twice = flash::FileNamedTwice(options); !twice.empty()) {
    return usageError(twice);
  }

  // The firmware file is read here, once: the header shown, the block count,
  // the model check and every block written all come from these bytes,
  // whatever happens to the file while the devices are upgraded.
  const bool reading = options.mode == flash::Mode::ReadFlash;
  flash::FirmwareFacts firmware;
  if (!reading) {
    firmware = flash::ReadFirmwareOnce(options.firmwarePath);
  }
  if (options.json) {
    Say(stdout, flash::JsonLine(flash::StartEvent(options, firmware, links, QL_VERSION)));
  }

  // Every file is checked before any device is touched.
  if (!reading && !firmware.error.empty()) {
    return FileError(options, std::string(firmware.firmware ? "cannot use" : "cannot read") +
                                  " the firmware file " + options.firmwarePath + ": " +
                                  firmware.error);
  }
  if (!reading && !firmware.warning.empty()) {
    if (options.json) {
      Say(stdout, flash::JsonLine(flash::WarningEvent(firmware.warning)));
    } else {
      Tell(stderr, "ql480tx-flash: warning: " + firmware.warning);
    }
  }
  OutputFiles files;
  if (const std::string error = OpenOutputFiles(options, files); !error.empty()) {
    return FileError(options, error);
  }
  if (files.out) {
    watcher.SetLeftover(files.out->temporaryPath());
  }

  const bool several = links.size() > 1;
  const bool live = !options.json && !options.quiet && flash::StatusRowsPossible();
  flash::Console console(flash::kStandardOutput, flash::kStandardError, live,
                         static_cast<int>(links.size()), flash::TerminalColumns());
  const flash::RunShared shared{options,
                                firmware,
                                console,
                                options.language.value_or(stored.currentLanguage),
                                {several, options.json, options.quiet},
                                stop,
                                stopWait,
                                RunWaitOverride().value_or(upgrade::kRunWaitMs),
                                files.out.get(),
                                files.log.get()};
  std::vector<std::unique_ptr<flash::DeviceRun>> runs;
  for (std::size_t i = 0; i < links.size(); ++i) {
    runs.push_back(flash::MakeDeviceRun(static_cast<int>(i), links[i], stored.link,
                                        files.trace.get(), shared));
  }
  // What each device is about to use, before anything is sent.
  for (const auto& run : runs) {
    run->view->Note(flash::UsingText(*run, shared));
  }
  {
    std::lock_guard lock(signalTarget.mutex);
    signalTarget.console = &console;
  }

  const int status = RunDevices(runs, shared);
  signalTarget.AwaitAnswer(stop);

  console.ClearStatus();
  Summarise(console, options, runs);
  if (files.trace) {
    if (const std::string why = files.trace->Error(); !why.empty()) {
      console.Error("ql480tx-flash: the trace " + options.tracePath + " is incomplete: " + why);
    }
  }
  console.Finish();
  {
    // A stop signal from here on finds nothing to stop: it ends at once.
    std::lock_guard lock(signalTarget.mutex);
    signalTarget.console = nullptr;
  }
  if (const std::string why = console.OutputError(); !why.empty()) {
    // The devices' results are in the exit status; the reader has gone.
    Tell(stderr, "ql480tx-flash: standard output could not be written (" + why +
                     "); the exit status tells how the devices ended");
  }
  return status;
}
