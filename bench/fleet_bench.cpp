// fleet_bench: one ql480tx-flash upgrading many devices at once against the
// same program upgrading one device alone, in the same run. Every device is
// a ql480tx-sim process of its own on TCP 127.0.0.1; every flash must equal
// the image afterwards.
//
//   fleet_bench [--devices 32] [--rounds 3] [--max-ratio 1.1] [--json]
//
// A round upgrades one device alone, then all of them at once. Wall time is
// from the start of ql480tx-flash to the end of its output (it closes its
// output when it exits); the CPU time of ql480tx-flash and of the emulators
// is taken from the children's resource usage once each is reaped. With
// --json, ql480tx-flash prints an event per step and the end time of each
// device is shown, to see which were late.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "common/command_options.h"

namespace {

using namespace ql;
using Steady = std::chrono::steady_clock;

constexpr int kMaxDevices = 64;

struct Options {
  int devices = 32;
  int rounds = 3;
  double maxRatio = 1.1;
  bool json = false;
  std::string sim;
  std::string flash;
};

[[noreturn]] void Usage(const char* problem) {
  std::fprintf(stderr,
               "fleet_bench: %s\n"
               "usage: fleet_bench [--devices N] [--rounds N] [--max-ratio R] [--json] "
               "[--sim PATH] [--flash PATH]\n",
               problem);
  std::exit(2);
}

Options Parse(int argc, char** argv) {
  Options o;
  o.sim = (bench::ProgramFolder() / "ql480tx-sim").string();
  o.flash = (bench::ProgramFolder() / "ql480tx-flash").string();
  using command_options::Into;
  const std::vector<command_options::Option> table = {
      {"--devices", 0, true, Into(o.devices)},
      {"--rounds", 0, true, Into(o.rounds)},
      {"--max-ratio", 0, true, Into(o.maxRatio)},
      {"--json", 0, false, command_options::Set(o.json)},
      {"--sim", 0, true, Into(o.sim)},
      {"--flash", 0, true, Into(o.flash)},
  };
  const auto parsed = command_options::Parse(table, {argv + 1, argv + argc}, {});
  if (!parsed.error.empty()) {
    Usage(parsed.error.c_str());
  }
  if (o.devices < 1 || o.devices > kMaxDevices || o.rounds < 1 || o.rounds > 20) {
    Usage("--devices takes 1 to 64, --rounds 1 to 20");
  }
  return o;
}

// Every child running now, killed by the watchdog if a run does not end.
std::array<volatile sig_atomic_t, kMaxDevices + 1> livePids{};

void Watchdog(int) {
  for (const auto pid : livePids) {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
    }
  }
  constexpr char kText[] = "fleet_bench: a run did not end in time\n";
  [[maybe_unused]] const auto ignored = ::write(STDERR_FILENO, kText, sizeof kText - 1);
  ::_exit(3);
}

double CpuMs(const rusage& usage) {
  auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

double ChildrenCpuMs() {
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  return CpuMs(usage);
}

struct Run {
  bool ok = false;
  std::string problem;
  double wallMs = 0;
  double flashCpuMs = 0;
  double simsCpuMs = 0;
  int flashesEqual = 0;
  int exitStatusOk = 0;
  // With --json: the time of each link's last event, in seconds from the start.
  std::map<std::string, double> endsS;
};

// The "time" and "device" of a JSON event line, when it has them.
void TakeEvent(const std::string& line, std::map<std::string, double>& ends) {
  const auto field = [&line](const std::string& name) -> std::optional<std::string> {
    const std::string key = "\"" + name + "\":";
    const auto at = line.find(key);
    if (at == std::string::npos) {
      return std::nullopt;
    }
    auto start = at + key.size();
    const bool quoted = line[start] == '"';
    start += quoted ? 1 : 0;
    const auto end = line.find_first_of(quoted ? "\"" : ",}", start);
    return line.substr(start, end - start);
  };
  const auto device = field("device");
  const auto time = field("time");
  if (device && time) {
    ends[*device] = std::max(ends[*device], std::strtod(time->c_str(), nullptr));
  }
}

Run Upgrade(const Options& options, int devices, const std::filesystem::path& folder,
            const std::filesystem::path& firmware, const std::vector<std::uint8_t>& image) {
  Run run;
  std::vector<bench::ChildProcess> sims;
  std::vector<std::string> flashArgs{options.json ? "--json" : "-q", "--lang", "en"};
  std::string error;
  for (int i = 0; i < devices; ++i) {
    const auto flashOut = folder / ("flash-" + std::to_string(i) + ".bin");
    std::filesystem::remove(flashOut);
    auto sim = bench::ChildProcess::Start(options.sim,
                                          {"--tcp", "127.0.0.1:0", "--quit-after-run",
                                           "--quit-on-eof", "--flash-out", flashOut.string()},
                                          folder / ("sim-" + std::to_string(i) + ".log"), error);
    if (!sim) {
      run.problem = error;
      return run;
    }
    livePids[static_cast<std::size_t>(i) + 1] = sim->Pid();
    const auto where = sim->ReadLine(std::chrono::seconds(5));
    if (!where || where->rfind("listening ", 0) != 0) {
      run.problem = "an emulator did not say where it serves";
      return run;
    }
    flashArgs.insert(flashArgs.end(), {"--tcp", where->substr(where->find(' ') + 1)});
    sims.push_back(std::move(*sim));
  }
  flashArgs.push_back(firmware.string());

  const double cpuBefore = ChildrenCpuMs();
  const auto start = Steady::now();
  auto flash = bench::ChildProcess::Start(options.flash, flashArgs, folder / "flash.log", error);
  if (!flash) {
    run.problem = error;
    return run;
  }
  livePids[0] = flash->Pid();
  while (const auto line = flash->ReadLine(std::chrono::seconds(120))) {
    if (options.json) {
      TakeEvent(*line, run.endsS);
    }
  }
  run.wallMs = std::chrono::duration<double, std::milli>(Steady::now() - start).count();
  const bool flashOk = flash->WaitExit(std::chrono::seconds(10));
  livePids[0] = 0;
  const double cpuAfterFlash = ChildrenCpuMs();
  run.flashCpuMs = cpuAfterFlash - cpuBefore;

  for (std::size_t i = 0; i < sims.size(); ++i) {
    sims[i].CloseInput();
    if (sims[i].WaitExit(std::chrono::seconds(10))) {
      ++run.exitStatusOk;
    }
    livePids[i + 1] = 0;
    const auto saved = bench::ReadWholeFile(folder / ("flash-" + std::to_string(i) + ".bin"));
    if (saved && saved->size() >= image.size() &&
        std::equal(image.begin(), image.end(), saved->begin())) {
      ++run.flashesEqual;
    }
  }
  run.simsCpuMs = ChildrenCpuMs() - cpuAfterFlash;
  run.ok = flashOk && run.flashesEqual == devices && run.exitStatusOk == devices;
  if (!run.ok) {
    run.problem = !flashOk ? "ql480tx-flash did not exit with 0"
                           : "flashes equal to the image: " + std::to_string(run.flashesEqual) +
                                 " of " + std::to_string(devices);
  }
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  bench::TempDir temp;
  const auto firmware = temp.Path() / "bench.QLB";
  const auto image = bench::WriteFirmwareFile(firmware, bench::kFullImageBlocks, 20240611);
  if (!image) {
    Usage("cannot write the firmware file");
  }
  // A configuration folder of its own: no stored settings of the window.
  const auto config = temp.Path() / "config";
  std::filesystem::create_directories(config);
  ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);

  ::signal(SIGALRM, Watchdog);
  std::vector<double> alone;
  std::vector<double> fleet;
  bool allOk = true;
  for (int round = 1; round <= options.rounds; ++round) {
    for (const int devices : {1, options.devices}) {
      ::alarm(180);
      const Run run = Upgrade(options, devices, temp.Path(), firmware, *image);
      ::alarm(0);
      allOk = allOk && run.ok;
      (devices == 1 ? alone : fleet).push_back(run.wallMs);
      std::printf(
          "round %d, %2d device%s: wall %.0f ms, ql480tx-flash CPU %.0f ms (%.1f %% of a core), "
          "emulators CPU %.0f ms, %d of %d flashes equal the image%s%s\n",
          round, devices, devices == 1 ? " " : "s", run.wallMs, run.flashCpuMs,
          100.0 * run.flashCpuMs / run.wallMs, run.simsCpuMs, run.flashesEqual, devices,
          run.ok ? "" : ", FAILED: ", run.ok ? "" : run.problem.c_str());
      if (!run.endsS.empty()) {
        std::vector<double> ends;
        for (const auto& [device, end] : run.endsS) {
          ends.push_back(end * 1000.0);
        }
        std::printf("  last event of each link: first %.0f ms, median %.0f ms, last %.0f ms\n",
                    bench::Percentile(ends, 0), bench::Percentile(ends, 50),
                    bench::Percentile(ends, 100));
      }
      std::fflush(stdout);
    }
  }
  const double aloneMedian = bench::Percentile(alone, 50);
  const double fleetMedian = bench::Percentile(fleet, 50);
  const double ratio = fleetMedian / aloneMedian;
  const bool met = allOk && ratio <= options.maxRatio;
  std::printf("| %d devices at once | %.0f | %.0f | %.3f | %s |\n", options.devices, aloneMedian,
              fleetMedian, ratio,
              !allOk ? "FAILED"
                     : (met ? "met" : "MISSED: above " + std::to_string(options.maxRatio)).c_str());
  return met ? 0 : 1;
}
