// ql480tx-flash: upgrades one or several devices from the command line with
// the same connect procedure and upgrade sequence as the window; or checks
// a device's flash against a file, or reads it into one.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "checked_files.h"
#include "console.h"
#include "console_system.h"
#include "flash_job.h"
#include "flash_view.h"
#include "image/firmware_file.h"
#include "links.h"
#include "out_file.h"
#include "reasons.h"
#include "run_time.h"
#include "run_wait_clock.h"
#include "settings/port_list.h"
#include "settings/settings.h"
#include "settings/user_store.h"
#include "signals.h"
#include "station.h"
#include "text/message_table.h"
#include "trace.h"

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

const char* ModeName(flash::Mode mode) {
  switch (mode) {
    case flash::Mode::Upgrade:
      return "upgrade";
    case flash::Mode::ConnectOnly:
      return "connect_only";
    case flash::Mode::VerifyOnly:
      return "verify_only";
    case flash::Mode::ReadFlash:
      return "read_flash";
  }
  return "";
}

// Output before the console exists, or after a usage error: straight to the
// stream, with nothing else writing.
void Say(std::FILE* stream, const std::string& line) {
  std::fputs((line + "\n").c_str(), stream);
  std::fflush(stream);
}

std::string JsonResultLine(int status, const char* outcome, const std::string& field,
                           const std::string& text) {
  return "{" + flash::JsonHead("result") + ",\"status\":" + std::to_string(status) +
         ",\"outcome\":\"" + outcome + "\"," + field + ":" + flash::JsonString(text) + "}";
}

// Where the answer to a stop signal is written once the devices run.
struct SignalTarget {
  std::mutex mutex;
  flash::Console* console = nullptr;
};

struct DeviceRun {
  flash::RunLink link;
  std::string label;
  flash::Job job;
  std::unique_ptr<flash::FlashView> view;
  std::unique_ptr<flash::DeviceObserver> observer;
  upgrade::ProcedureReport report;
  flash::JobOutcome outcome;
  bool openFailed = false;
  std::string openError;
  double seconds = 0;
  // Automatic mode: the units of this link so far, and their time together.
  int units = 0;
  int ok = 0;
  int failed = 0;
  double unitSeconds = 0;
};

std::string Pad(std::string text, std::size_t width) {
  if (text.size() < width) {
    text.append(width - text.size(), ' ');
  }
  return text;
}

void PrintSummary(flash::Console& console, const std::vector<std::unique_ptr<DeviceRun>>& runs) {
  std::size_t width = 6;
  for (const auto& run : runs) {
    width = std::max(width, run->label.size());
  }
  console.Line("");
  console.Line(Pad("device", width) + "  status  programmed  verified  seconds  last message");
  for (const auto& run : runs) {
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "  %6d  %10d  %8d  %7.1f  ", run->outcome.status,
                  run->view->blocksProgrammed(), run->view->blocksVerified(), run->seconds);
    const std::string last = run->outcome.status == flash::kExitInterrupted
                                 ? std::string("(stopped)")
                                 : run->view->lastMessage();
    console.Line(Pad(run->label, width) + numbers + last);
  }
}

// Automatic mode: per link the units, how many ended ok and failed, and
// their mean time.
void PrintStationSummary(flash::Console& console,
                         const std::vector<std::unique_ptr<DeviceRun>>& runs) {
  std::size_t width = 6;
  for (const auto& run : runs) {
    width = std::max(width, run->label.size());
  }
  console.Line("");
  console.Line(Pad("device", width) + "  units      ok  failed  mean s");
  for (const auto& run : runs) {
    char numbers[80];
    char mean[32] = "-";
    if (run->units > 0) {
      std::snprintf(mean, sizeof mean, "%.1f", run->unitSeconds / run->units);
    }
    std::snprintf(numbers, sizeof numbers, "  %5d  %6d  %6d  %6s", run->units, run->ok, run->failed,
                  mean);
    console.Line(Pad(run->label, width) + numbers);
  }
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
      std::string line = JsonResultLine(flash::kExitUsage, "usage_error", "\"message\"", message);
      line.insert(1, "\"schema\":1,");
      Say(stdout, line);
    }
    Say(stderr, "ql480tx-flash: " + message + "\nTry 'ql480tx-flash --help'.");
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
    for (const std::string& port : settings::SystemPortNames()) {
      Say(stdout, options.json
                      ? "{" + flash::JsonHead("port") + ",\"port\":" + flash::JsonString(port) + "}"
                      : port);
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
        return true;
      },
      [&signalTarget] {
        std::lock_guard lock(signalTarget.mutex);
        if (signalTarget.console != nullptr) {
          signalTarget.console->Resize(flash::TerminalColumns());
        }
      });

  const std::unique_ptr<settings::SettingsStore> store = settings::OpenUserSettingsStore();
  const settings::Settings stored = settings::LoadSettings(*store);
  const text::Language language = options.language.value_or(stored.currentLanguage);

  std::vector<flash::RunLink> links;
  if (options.devices.empty()) {
    links.push_back(flash::StoredLink(stored.link));
  }
  for (const auto& device : options.devices) {
    links.push_back(flash::ResolvedLink(device));
  }
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
    std::string start = "{" + flash::JsonHead("start") + ",\"schema\":1," +
                        "\"program\":\"ql480tx-flash\",\"version\":\"" + QL_VERSION +
                        "\",\"mode\":\"" + ModeName(options.mode) + "\"";
    if (options.repeat) {
      start += ",\"repeat\":true";
    }
    if (reading) {
      start += ",\"out\":" + flash::JsonString(options.readFlashPath) +
               ",\"blocks\":" + std::to_string(flash::kReadFlashBlocks);
    } else {
      start +=
          ",\"file\":" + flash::JsonString(options.firmwarePath) + ",\"header\":" +
          (firmware.firmware ? flash::JsonString(firmware.firmware->headerText, true) : "null") +
          ",\"blocks\":" + std::to_string(firmware.blocks);
    }
    if (!options.tracePath.empty()) {
      start += ",\"trace\":" + flash::JsonString(options.tracePath);
    }
    start += ",\"links\":[";
    for (std::size_t i = 0; i < links.size(); ++i) {
      start += (i > 0 ? "," : "") + flash::LinkJson(links[i]);
    }
    Say(stdout, start + "]}");
  }

  // Every file is checked before any device is touched.
  auto fileError = [&options](const std::string& what, const std::string& why) {
    const std::string message = what + ": " + why;
    if (options.json) {
      Say(stdout, JsonResultLine(flash::kExitFileUnreadable, "file_error", "\"reason\"", message));
    }
    Say(stderr, "ql480tx-flash: " + message);
    return flash::kExitFileUnreadable;
  };
  if (!reading && !firmware.error.empty()) {
    return fileError(std::string(firmware.firmware ? "cannot use" : "cannot read") +
                         " the firmware file " + options.firmwarePath,
                     firmware.error);
  }
  std::unique_ptr<flash::TraceFile> trace;
  if (!options.tracePath.empty()) {
    std::string why;
    trace = flash::TraceFile::Open(options.tracePath, why);
    if (!trace) {
      return fileError("cannot write the trace " + options.tracePath, why);
    }
  }
  std::unique_ptr<flash::OutputFile> out;
  if (reading) {
    std::string why;
    out = flash::OutputFile::Prepare(options.readFlashPath, options.force, why);
    if (!out) {
      return fileError("cannot write " + options.readFlashPath, why);
    }
    watcher.SetLeftover(out->temporaryPath());
  }

  const bool several = links.size() > 1;
  const bool live = !options.json && !options.quiet && flash::StatusRowsPossible();
  flash::Console console(flash::kStandardOutput, flash::kStandardError, live,
                         static_cast<int>(links.size()), flash::TerminalColumns());
  const flash::ViewStyle style{several, options.json, options.quiet, reading};

  // A device's view; in automatic mode each unit gets a fresh one.
  auto makeView = [&](int index, DeviceRun& r) {
    auto reasons = [&r](int message) {
      flash::ReasonInputs in;
      in.label = r.label;
      in.openFailed = r.openFailed;
      in.openError = r.openError;
      in.report = r.report;
      in.last = r.observer->last();
      in.deviceText = r.view->deviceText();
      in.fileHeader = r.job.fileVersionText;
      if (message == text::msg::kLoadFileError) {
        in.fileError = flash::FileOpenError(r.job.firmwarePath);
      }
      return flash::FailureReason(message, in);
    };
    return std::make_unique<flash::FlashView>(console, index, r.label, language, style, reasons);
  };

  std::vector<std::unique_ptr<DeviceRun>> runs;
  for (std::size_t i = 0; i < links.size(); ++i) {
    auto run = std::make_unique<DeviceRun>();
    DeviceRun& r = *run;
    r.link = links[i];
    r.label = r.link.link.Label();
    r.job.mode = options.mode;
    r.job.firmwarePath = options.firmwarePath;
    r.job.firmware = firmware.firmware;
    r.job.fileVersionText = firmware.firmware ? firmware.firmware->headerText : "";
    r.job.deviceId = options.deviceId;
    r.job.stored = stored.link;
    r.job.controls = r.link.stored ? flash::StoredControls(stored.link)
                                   : flash::ControlsFor(r.link.link, r.link.address, stored.link);
    r.observer = std::make_unique<flash::DeviceObserver>(r.label, trace.get());
    r.view = makeView(static_cast<int>(i), r);
    runs.push_back(std::move(run));
  }

  // What each device is about to use, before anything is sent.
  for (const auto& run : runs) {
    std::string text = "Using " + flash::DescribeLink(run->link);
    if (reading) {
      text += "; reading " + std::to_string(flash::kReadFlashBlocks) + " blocks into " +
              options.readFlashPath;
    } else {
      text += "; firmware " + options.firmwarePath + ", header " +
              flash::JsonString(firmware.firmware->headerText, true) + ", " +
              std::to_string(firmware.blocks) + " blocks";
    }
    if (run->link.stored) {
      text += " (link stored by the window)";
    }
    if (options.repeat) {
      text += "; one unit after another until stopped";
    }
    run->view->Note(text);
  }

  {
    std::lock_guard lock(signalTarget.mutex);
    signalTarget.console = &console;
  }

  const auto waitOverride = RunWaitOverride();
  auto flashRead = reading ? std::make_unique<flash::FlashRead>() : nullptr;
  // One run of a device's procedures to its end: its outcome in r->outcome,
  // and what its closing record adds to the JSON.
  auto runOnce = [&](DeviceRun* r, link::Clock& clock) {
    auto open = [r](const link::LinkSettings& settings) -> std::unique_ptr<link::Transport> {
      r->openFailed = true;
      if (!r->link.lookupError.empty()) {
        r->openError = r->link.lookupError;
        return nullptr;
      }
      auto transport = link::TryOpenLink(settings, r->openError);
      r->openFailed = transport == nullptr;
      return transport;
    };
    const flash::JobContext context{&stop, r->observer.get(), &r->report};
    r->outcome = flash::RunJob(r->job, *r->view, clock, open, context, flashRead.get());
    if (r->outcome.status == flash::kExitOk && r->view->runWaitCut()) {
      r->outcome = {flash::kExitInterrupted, "interrupted"};
    }
    std::string extra;
    if (r->outcome.status == flash::kExitOk && reading) {
      std::string why;
      const auto bytes =
          flash::FlashFileBytes(flashRead->deviceInfo, flashRead->table, flash::kReadFlashBlocks);
      if (out->Commit(bytes, why)) {
        r->view->Final("Wrote " + options.readFlashPath + ": " + std::to_string(bytes.size()) +
                       " bytes, " + std::to_string(flash::kReadFlashBlocks) + " blocks");
      } else {
        r->view->Problem("cannot write " + options.readFlashPath + ": " + why);
        r->outcome = {flash::kExitFileUnreadable, "file_error"};
        extra += ",\"reason\":" +
                 flash::JsonString("cannot write " + options.readFlashPath + ": " + why);
      }
    }
    if (r->outcome.status == flash::kExitInterrupted) {
      std::string holds = flash::StopExplanation(
          options.mode, r->report, reading ? flash::kReadFlashBlocks : firmware.blocks);
      if (reading) {
        holds += "; " + options.readFlashPath + " was not written";
      }
      r->view->Problem(holds);
      extra += ",\"holds\":" + flash::JsonString(holds);
    } else if (!r->view->lastReason().empty() && r->outcome.status != flash::kExitOk) {
      extra += ",\"reason\":" + flash::JsonString(r->view->lastReason());
    }
    return extra;
  };

  // Automatic mode: one unit after another on the link of `r` until stopped.
  auto runStation = [&](int index, DeviceRun* r, link::Clock& systemClock, link::Clock& clock) {
    if (!r->link.lookupError.empty()) {
      // The address is looked up once, at the start: no look could ever open the link.
      r->view->Problem(r->label + ": " + r->link.lookupError +
                       "; this station cannot look for units");
      r->outcome = {flash::kExitLinkNotOpened, "link_not_opened"};
      return;
    }
    const std::string tag = several ? "[" + r->label + "] " : "";
    link::LinkSettings link = r->job.stored;
    settings::TakeLinkControls(r->job.controls, link);
    int status = flash::kExitOk;
    std::string lookError;  // why the last look could not open the link
    std::string row;        // the status row as drawn
    const flash::Station station{
        options.deviceId,
        link,
        systemClock,
        [&lookError](const link::LinkSettings& settings) {
          lookError.clear();
          return link::TryOpenLink(settings, lookError);
        },
        r->observer.get(),
        &stop,
        [&stopWait](std::uint32_t ms) { return stopWait.PauseMs(ms); },
        [&](flash::StationState state, std::optional<upgrade::PollResult> look) {
          const bool waiting = state == flash::StationState::WaitingForUnit;
          if (!look) {
            r->view->Note(waiting ? "Waiting for a unit" : "Remove the unit");
          }
          std::string text = tag + (waiting ? "waiting for a unit" : "remove the unit");
          if (r->units > 0) {
            text += "; " + std::to_string(r->ok) + " ok, " + std::to_string(r->failed) + " failed";
          }
          if (look == upgrade::PollResult::LinkNotOpened && !lookError.empty()) {
            text += " (" + lookError + ")";
          }
          if (text != row) {
            console.Status(index, text);
            row = text;
          }
        },
        [&](int number, const std::string& deviceInfo) {
          r->view = makeView(index, *r);
          r->view->SetUnit(number);
          r->view->Note("Unit " + std::to_string(number) + " found");
          const auto start = std::chrono::steady_clock::now();
          const std::string extra = runOnce(r, clock);
          const double seconds = SecondsSince(start);
          const int unitStatus = r->outcome.status;
          ++r->units;
          ++(unitStatus == flash::kExitOk ? r->ok : r->failed);
          r->unitSeconds += seconds;
          status = std::max(status, unitStatus);
          // The connect procedure's device information, or the look's when
          // the procedure found none.
          const std::string info =
              r->view->deviceText().empty() ? deviceInfo : r->view->deviceText();
          r->view->UnitResult(
              {number, info, unitStatus, r->outcome.outcome, seconds, r->ok, r->failed}, extra);
          row.clear();
          return flash::UnitEnd{unitStatus == flash::kExitInterrupted, r->report.runSent};
        }};
    flash::RunStation(station);
    console.Status(index, {});
    r->outcome = {status, status == flash::kExitInterrupted ? "interrupted" : "stopped"};
  };

  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    // Each device on its own thread, with its own link and clock.
    threads.emplace_back([&, i, r = runs[i].get()] {
      link::SystemClock systemClock;
      flash::RunWaitClock clock(
          systemClock, r->report, stop, [r](int left) { r->view->Countdown(left); }, waitOverride);
      const auto start = std::chrono::steady_clock::now();
      if (options.repeat) {
        runStation(static_cast<int>(i), r, systemClock, clock);
        r->seconds = SecondsSince(start);
        r->view->StationResult(r->outcome.status, r->outcome.outcome, r->seconds, r->units, r->ok,
                               r->failed, r->unitSeconds);
        return;
      }
      const std::string extra = runOnce(r, clock);
      r->seconds = SecondsSince(start);
      r->view->Result(r->outcome.status, r->outcome.outcome, r->seconds, extra);
    });
  }
  int status = flash::kExitOk;
  for (std::size_t i = 0; i < threads.size(); ++i) {
    threads[i].join();
    status = std::max(status, runs[i]->outcome.status);
  }
  console.ClearStatus();
  if (options.repeat && !options.json) {
    PrintStationSummary(console, runs);
  } else if (several && !options.json && !options.quiet) {
    PrintSummary(console, runs);
  }
  if (trace) {
    if (const std::string why = trace->Error(); !why.empty()) {
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
    Say(stderr, "ql480tx-flash: standard output could not be written (" + why +
                    "); the exit status tells how the devices ended");
  }
  return status;
}
