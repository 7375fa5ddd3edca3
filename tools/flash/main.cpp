// ql480tx-flash: upgrades one or several devices from the command line with
// the same connect procedure and upgrade sequence as the window.
#include <unistd.h>

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "console.h"
#include "flash_job.h"
#include "flash_view.h"
#include "image/firmware_file.h"
#include "settings/qsettings_store.h"
#include "settings/settings.h"

namespace {

using namespace ql;

struct DeviceRun {
  std::string label;
  flash::Job job;
  std::unique_ptr<flash::FlashView> view;
  flash::JobOutcome outcome;
  double seconds = 0;
};

std::string StoredLabel(const settings::LinkSettings& link) {
  return link.linkKind == settings::LinkKind::Tcp ? link.netIp + ":" + link.netPort
                                                  : link.comPortName;
}

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
    console.Line(Pad(run->label, width) + numbers + run->view->lastMessage());
  }
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);

  std::vector<std::string> args(argv + 1, argv + argc);
  const flash::ParseResult parsed = flash::ParseOptions(args);
  const flash::Options& options = parsed.options;
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "ql480tx-flash: %s\nTry 'ql480tx-flash --help'.\n", parsed.error.c_str());
    return flash::kExitUsage;
  }
  if (options.help) {
    std::fputs(flash::UsageText().c_str(), stdout);
    return flash::kExitOk;
  }
  if (options.version) {
    std::printf("ql480tx-flash %s\n", QL_VERSION);
    return flash::kExitOk;
  }

  // The file is checked before any device is touched.
  std::error_code error;
  const std::filesystem::path path(options.firmwarePath);
  const auto header =
      std::filesystem::is_directory(path, error) ? std::nullopt : image::ReadHeaderText(path);
  if (!header) {
    std::fprintf(stderr, "ql480tx-flash: cannot read the firmware file %s\n",
                 options.firmwarePath.c_str());
    return flash::kExitFileUnreadable;
  }

  settings::QSettingsStore store;
  const settings::Settings stored = settings::LoadSettings(store);
  const text::Language language = options.language.value_or(stored.currentLanguage);

  std::vector<std::unique_ptr<DeviceRun>> runs;
  auto addRun = [&](std::string label, settings::LinkControls controls) {
    auto run = std::make_unique<DeviceRun>();
    run->label = std::move(label);
    run->job.firmwarePath = options.firmwarePath;
    run->job.fileVersionText = *header;
    run->job.deviceId = options.deviceId;
    run->job.connectOnly = options.connectOnly;
    run->job.stored = stored.link;
    run->job.controls = std::move(controls);
    runs.push_back(std::move(run));
  };
  if (options.devices.empty()) {
    addRun(StoredLabel(stored.link), flash::StoredControls(stored.link));
  }
  for (const auto& device : options.devices) {
    addRun(device.Label(), flash::ControlsFor(device, stored.link));
  }

  const bool several = runs.size() > 1;
  flash::Console console(stdout, !options.json && isatty(STDOUT_FILENO) == 1,
                         static_cast<int>(runs.size()));
  std::vector<QThread*> threads;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    DeviceRun& run = *runs[i];
    run.view = std::make_unique<flash::FlashView>(console, static_cast<int>(i), run.label, language,
                                                  several, options.json);
    // Each device on its own thread, with its own link and clock.
    threads.push_back(QThread::create([&run] {
      link::SystemClock clock;
      const auto start = std::chrono::steady_clock::now();
      run.outcome = flash::RunJob(run.job, *run.view, clock, link::OpenLink);
      run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      run.view->Result(run.outcome.status, run.outcome.outcome, run.seconds);
    }));
    threads.back()->start();
  }
  int status = flash::kExitOk;
  for (std::size_t i = 0; i < threads.size(); ++i) {
    threads[i]->wait();
    delete threads[i];
    status = std::max(status, runs[i]->outcome.status);
  }
  console.ClearStatus();
  if (several && !options.json) {
    PrintSummary(console, runs);
  }
  return status;
}
