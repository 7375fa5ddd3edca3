// gap_bench: the pause before each block as the device sees it, for the
// utility and for the least any program could do, in the same run. The
// emulator stamps every request's first byte and every reply's CR; a block's
// gap is the time from the CR of the previous reply to the first byte of the
// block's request. The utility must leave at least 4 ms.
//
//   gap_bench --link tcp [--rounds 5]
//   gap_bench --link pty [--baud 921600] [--framing 8E1] [--rounds 5]
//   ... [--keep-times FOLDER]   the emulator's lines of each run, as NAME-N.txt
//   ... [--sim-fifo 10]         the emulator under SCHED_FIFO (root): a device
//                               has a processor of its own, and the emulator's
//                               stamps are then not delayed by preemption
//
// Each round runs the real connect and upgrade procedures on the real clock
// against a fresh emulator, then floor_loop (plain C: blocking write, blocking
// read to the CR, an absolute-deadline sleep of 4 ms with a timer slack of
// 1 ns) against another, sending the same handshake, write, handshake and
// read-back frames, built here by the utility's own frame code. Both flashes
// must equal the image. On the pseudo-terminal the emulator paces its
// replies at the given rate but not the requests.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bench_support.h"
#include "common/command_options.h"
#include "image/block_table.h"
#include "image/firmware_file.h"
#include "link/clock.h"
#include "link/frame.h"
#include "link/link.h"
#include "upgrade/device_commands.h"
#include "upgrade/procedures.h"

namespace {

using namespace ql;

constexpr double kMandatedGapUs = 4000;
constexpr const char* kChrt = "/usr/bin/chrt";
// Targets for the utility against the loop.
constexpr double kMedianMarginUs = 20;
constexpr double kP99MarginUs = 100;

struct Options {
  std::string link = "tcp";
  std::uint32_t baud = 0;  // 0: the emulator does not pace its replies
  std::string framing = "8E1";
  int rounds = 5;
  std::string sim;
  std::string loop;
  std::string keepTimes;  // a folder for the emulator's lines of every run
  int simPriority = 0;    // above 0: the emulator runs under SCHED_FIFO at this priority
};

[[noreturn]] void Usage(const char* problem) {
  std::fprintf(stderr,
               "gap_bench: %s\n"
               "usage: gap_bench --link tcp|pty [--baud N] [--framing 8E1] [--rounds N] "
               "[--sim PATH] [--loop PATH] [--keep-times FOLDER] [--sim-fifo PRIORITY]\n",
               problem);
  std::exit(2);
}

Options Parse(int argc, char** argv) {
  Options o;
  o.sim = (bench::ProgramFolder() / "ql480tx-sim").string();
  o.loop = (bench::ProgramFolder() / "floor_loop").string();
  using command_options::Into;
  const std::vector<command_options::Option> table = {
      {"--link", 0, true, Into(o.link)},
      {"--baud", 0, true, Into(o.baud)},
      {"--framing", 0, true, Into(o.framing)},
      {"--rounds", 0, true, Into(o.rounds)},
      {"--sim", 0, true, Into(o.sim)},
      {"--loop", 0, true, Into(o.loop)},
      {"--keep-times", 0, true, Into(o.keepTimes)},
      {"--sim-fifo", 0, true, Into(o.simPriority)},
  };
  const auto parsed = command_options::Parse(table, {argv + 1, argv + argc}, {});
  if (!parsed.error.empty()) {
    Usage(parsed.error.c_str());
  }
  if (o.link != "tcp" && o.link != "pty") {
    Usage("--link takes tcp or pty");
  }
  if (o.baud > 0 && o.link != "pty") {
    Usage("--baud applies to --link pty");
  }
  if (o.rounds < 1 || o.rounds > 100) {
    Usage("--rounds takes 1 to 100");
  }
  return o;
}

// The children running now, killed by the watchdog if a round does not end.
std::array<volatile sig_atomic_t, 2> livePids{};

void Watchdog(int) {
  for (const auto pid : livePids) {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
    }
  }
  constexpr char kText[] = "gap_bench: a round did not end in time\n";
  [[maybe_unused]] const auto ignored = ::write(STDERR_FILENO, kText, sizeof kText - 1);
  ::_exit(3);
}

// The frames floor_loop sends: what the upgrade sends after its connect,
// less the run command.
bool WriteFrames(const std::filesystem::path& path, const std::vector<std::uint8_t>& image,
                 const std::string& deviceId) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const auto put = [&out](const std::string& payload) {
    const auto frame = link::BuildRequest(payload);
    out.write(reinterpret_cast<const char*>(frame.data()),
              static_cast<std::streamsize>(frame.size()));
  };
  const int blocks = static_cast<int>(image.size() / image::kBlockSize);
  put(upgrade::HandshakeCommand(deviceId));
  for (int block = 0; block < blocks; ++block) {
    put(upgrade::WriteCommand(deviceId, block,
                              std::span<const std::uint8_t, image::kBlockSize>(
                                  image.data() + block * image::kBlockSize, image::kBlockSize)));
  }
  put(upgrade::HandshakeCommand(deviceId));
  for (int block = 0; block < blocks; ++block) {
    put(upgrade::ReadBackCommand(deviceId, block));
  }
  out.close();
  return static_cast<bool>(out);
}

struct Round {
  bool ok = false;
  std::string problem;
  bench::BlockGaps gaps;
  // The utility's own view of every block's pause: from the return of the
  // read that brought the previous reply's last bytes to the start of the
  // write of the block's request; the first block after each handshake apart.
  std::vector<double> ownGapsUs;
  std::vector<double> ownFirstUs;
};

// Stamps the utility's reads and writes without touching the exchange.
class StampingTransport final : public link::Transport {
 public:
  StampingTransport(std::unique_ptr<link::Transport> inner, Round& round)
      : inner_(std::move(inner)), round_(round) {}
  link::LinkKind Kind() const override { return inner_->Kind(); }
  link::WriteResult Write(std::span<const std::uint8_t> bytes) override {
    const auto now = std::chrono::steady_clock::now();
    // 0x01, four characters of device ID, 'Z', then the command: p writes a
    // block, v reads one back.
    constexpr std::size_t kCommandAt = 6;
    const bool block =
        bytes.size() > kCommandAt && (bytes[kCommandAt] == 'p' || bytes[kCommandAt] == 'v');
    if (read_ && block) {
      (previousBlock_ ? round_.ownGapsUs : round_.ownFirstUs)
          .push_back(std::chrono::duration<double, std::micro>(now - lastRead_).count());
    }
    read_ = false;
    previousBlock_ = block;
    return inner_->Write(bytes);
  }
  link::ReadResult Read(std::span<std::uint8_t> into, std::chrono::microseconds wait) override {
    const link::ReadResult read = inner_->Read(into, wait);
    if (read.count > 0) {
      lastRead_ = std::chrono::steady_clock::now();
      read_ = true;
    }
    return read;
  }
  std::string GoneReason() const override { return inner_->GoneReason(); }
  bool InputWaiting() override { return inner_->InputWaiting(); }
  std::chrono::nanoseconds CharacterTime() const override { return inner_->CharacterTime(); }
  void Close() override { inner_->Close(); }

 private:
  std::unique_ptr<link::Transport> inner_;
  Round& round_;
  std::chrono::steady_clock::time_point lastRead_{};
  bool read_ = false;
  bool previousBlock_ = false;
};

class Bench {
 public:
  Bench(const Options& options, const std::filesystem::path& folder,
        const std::vector<std::uint8_t>& image)
      : options_(options), folder_(folder), image_(image) {}

  Round Utility(const std::filesystem::path& firmware, const std::string& name) {
    Round round;
    name_ = name;
    auto sim = StartSim(round);
    if (!sim) {
      return round;
    }
    upgrade::ConnectInputs inputs;
    if (options_.link == "tcp") {
      inputs.link.linkKind = link::LinkKind::Tcp;
      inputs.link.netIp = "127.0.0.1";
      inputs.link.netPort = where_.substr(where_.rfind(':') + 1);
    } else {
      inputs.link.linkKind = link::LinkKind::Serial;
      inputs.link.comPortName = where_.substr(where_.find(' ') + 1);
      inputs.link.comBaudRate =
          std::to_string(options_.baud > 0 ? options_.baud : 115200) + ",e,8,1";
    }
    inputs.fileVersionText = image::ReadHeaderText(firmware).value_or("");
    inputs.selectedHeader = inputs.fileVersionText;
    inputs.firmwarePath = firmware;
    link::SystemClock clock;
    bench::RecordingEvents view;
    link::LinkOpener opener = [&round](const link::LinkSettings& settings,
                                       std::string& why) -> std::unique_ptr<link::Transport> {
      auto inner = link::TryOpenLink(settings, why);
      if (!inner) {
        return nullptr;
      }
      return std::make_unique<StampingTransport>(std::move(inner), round);
    };
    upgrade::Environment env{view, clock, opener, nullptr};
    upgrade::DeviceState state;
    const bool upgraded =
        upgrade::ConnectProcedure(inputs, state, env) == upgrade::ConnectResult::Matched &&
        upgrade::UpgradeSequence(inputs.deviceId, state, env) == upgrade::UpgradeResult::UpgradeOk;
    if (!upgraded) {
      round.problem = "the upgrade failed";
    }
    Finish(*sim, round);
    if (round.ok && round.ownGapsUs.size() + round.ownFirstUs.size() !=
                        2 * (image_.size() / image::kBlockSize)) {
      round.problem = "the utility's own stamps do not count every block";
      round.ok = false;
    }
    round.ok = round.ok && upgraded;
    return round;
  }

  Round Loop(const std::filesystem::path& frames, const std::string& name) {
    Round round;
    name_ = name;
    auto sim = StartSim(round);
    if (!sim) {
      return round;
    }
    const std::vector<std::string> args{options_.link == "tcp" ? "--tcp" : "--pty",
                                        options_.link == "tcp"
                                            ? where_.substr(where_.rfind(' ') + 1)
                                            : where_.substr(where_.find(' ') + 1),
                                        frames.string(), "--timeout-s", "60"};
    std::string error;
    auto loop = bench::ChildProcess::Start(options_.loop, args, folder_ / "loop.log", error);
    if (!loop) {
      round.problem = error;
      return round;
    }
    livePids[1] = loop->Pid();
    const auto said = loop->ReadLine(std::chrono::seconds(70));
    const bool answered = loop->WaitExit(std::chrono::seconds(5)) && said;
    livePids[1] = 0;
    if (!answered) {
      round.problem = "floor_loop failed: " + Text(folder_ / "loop.log");
    }
    Finish(*sim, round);
    round.ok = round.ok && answered;
    return round;
  }

 private:
  std::optional<bench::ChildProcess> StartSim(Round& round) {
    std::vector<std::string> args{"--reply-times", "--quit-after-run", "--quit-on-eof",
                                  "--flash-out", FlashPath().string()};
    if (options_.link == "tcp") {
      args.insert(args.end(), {"--tcp", "127.0.0.1:0"});
    } else {
      args.push_back("--pty");
    }
    if (options_.baud > 0) {
      args.insert(args.end(), {"--pace", std::to_string(options_.baud) + "," + options_.framing});
    }
    std::filesystem::remove(FlashPath());
    std::string program = options_.sim;
    if (options_.simPriority > 0) {
      // chrt executes the emulator in its own process, keeping the pid.
      args.insert(args.begin(), {"-f", std::to_string(options_.simPriority), options_.sim});
      program = kChrt;
    }
    std::string error;
    auto sim = bench::ChildProcess::Start(program, args, folder_ / "sim.log", error);
    if (!sim) {
      round.problem = error;
      return std::nullopt;
    }
    livePids[0] = sim->Pid();
    const auto where = sim->ReadLine(std::chrono::seconds(5));
    if (!where) {
      round.problem = "the emulator did not say where it serves: " + Text(folder_ / "sim.log");
      return std::nullopt;
    }
    where_ = *where;
    return sim;
  }

  // Stops the emulator, takes its times and checks its flash.
  void Finish(bench::ChildProcess& sim, Round& round) {
    sim.CloseInput();
    bench::EmulatorTimes times;
    std::string lines;
    while (const auto line = sim.ReadLine(std::chrono::seconds(10))) {
      times.Take(*line);
      lines += *line + "\n";
    }
    if (!options_.keepTimes.empty()) {
      std::ofstream(std::filesystem::path(options_.keepTimes) / (name_ + ".txt")) << lines;
    }
    const bool ended = sim.WaitExit(std::chrono::seconds(10));
    livePids[0] = 0;
    const auto flash = bench::ReadWholeFile(FlashPath());
    const bool equal = flash && flash->size() >= image_.size() &&
                       std::equal(image_.begin(), image_.end(), flash->begin());
    round.gaps = bench::ComputeBlockGaps(times);
    const auto blocks = image_.size() / image::kBlockSize;
    const bool counted = round.gaps.paired && round.gaps.afterBlockUs.size() == 2 * (blocks - 1) &&
                         round.gaps.firstUs.size() == 2;
    round.ok = ended && equal && counted;
    if (round.problem.empty() && !round.ok) {
      round.problem = !ended   ? "the emulator did not end cleanly"
                      : !equal ? "the flash differs from the image"
                               : "the emulator's times do not pair up";
    }
  }

  std::filesystem::path FlashPath() const { return folder_ / "flash.bin"; }

  static std::string Text(const std::filesystem::path& path) {
    const auto bytes = bench::ReadWholeFile(path);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
  }

  const Options& options_;
  const std::filesystem::path folder_;
  const std::vector<std::uint8_t>& image_;
  std::string where_;
  std::string name_;
};

struct Side {
  std::vector<double> afterBlockUs;
  std::vector<double> firstUs;
  std::vector<double> roundMediansUs;
  std::vector<double> ownGapsUs;
  double ownShortestUs = 1e12;
  int failed = 0;

  void Add(const Round& round) {
    if (!round.ok) {
      ++failed;
      return;
    }
    afterBlockUs.insert(afterBlockUs.end(), round.gaps.afterBlockUs.begin(),
                        round.gaps.afterBlockUs.end());
    firstUs.insert(firstUs.end(), round.gaps.firstUs.begin(), round.gaps.firstUs.end());
    roundMediansUs.push_back(bench::Percentile(round.gaps.afterBlockUs, 50));
    ownGapsUs.insert(ownGapsUs.end(), round.ownGapsUs.begin(), round.ownGapsUs.end());
    for (const auto* gaps : {&round.ownGapsUs, &round.ownFirstUs}) {
      if (!gaps->empty()) {
        ownShortestUs = std::min(ownShortestUs, *std::min_element(gaps->begin(), gaps->end()));
      }
    }
  }
  int Below(double us) const {
    return static_cast<int>(
        std::count_if(afterBlockUs.begin(), afterBlockUs.end(), [us](double v) { return v < us; }) +
        std::count_if(firstUs.begin(), firstUs.end(), [us](double v) { return v < us; }));
  }
  double Median() const { return bench::Percentile(afterBlockUs, 50); }
  double P99() const { return bench::Percentile(afterBlockUs, 99); }
  double Max() const { return bench::Percentile(afterBlockUs, 100); }
  double Min() const { return bench::Percentile(afterBlockUs, 0); }
};

std::string RoundMedians(const std::vector<double>& values) {
  std::string text;
  for (const double v : values) {
    text += (text.empty() ? "" : " ") + std::to_string(static_cast<long>(v + 0.5));
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  bench::TempDir temp;
  const auto firmware = temp.Path() / "bench.QLB";
  const auto frames = temp.Path() / "frames.bin";
  const auto image = bench::WriteFirmwareFile(firmware, bench::kFullImageBlocks, 20240611);
  if (!image || !WriteFrames(frames, *image, upgrade::ConnectInputs{}.deviceId)) {
    Usage("cannot write the firmware or the frames file");
  }
  const std::string label = options.link == "tcp" ? "TCP loopback"
                            : options.baud > 0    ? "pty " + std::to_string(options.baud) + " " +
                                                     options.framing + " (replies paced)"
                                               : "pty unpaced";
  const std::string labelled = options.simPriority > 0 ? label + ", emulator SCHED_FIFO" : label;

  ::signal(SIGALRM, Watchdog);
  Bench bench(options, temp.Path(), *image);
  Side utility;
  Side loop;
  for (int i = 1; i <= options.rounds; ++i) {
    // A round: the utility's upgrade (about 9.3 s with its 7 s run wait),
    // then the loop (about 1.2 s); a minute each at most, and more on a
    // slow line.
    ::alarm(options.baud > 0 && options.baud < 115200 ? 600 : 120);
    const Round u = bench.Utility(firmware, "utility-" + std::to_string(i));
    const Round l = bench.Loop(frames, "loop-" + std::to_string(i));
    ::alarm(0);
    utility.Add(u);
    loop.Add(l);
    std::printf(
        "round %d: utility %s, median %.0f us, p99 %.0f us; loop %s, median %.0f us, p99 "
        "%.0f us\n",
        i, u.ok ? "ok" : ("FAILED (" + u.problem + ")").c_str(),
        bench::Percentile(u.gaps.afterBlockUs, 50), bench::Percentile(u.gaps.afterBlockUs, 99),
        l.ok ? "ok" : ("FAILED (" + l.problem + ")").c_str(),
        bench::Percentile(l.gaps.afterBlockUs, 50), bench::Percentile(l.gaps.afterBlockUs, 99));
    std::fflush(stdout);
  }

  // The 4 ms are judged by the utility's own stamps: the emulator stamps a
  // reply's CR once its write has returned, and a preemption in between makes
  // a gap look shorter than it was; the loop, which cannot pause less, shows
  // how often that happens.
  const double ownShortest = utility.ownGapsUs.empty() ? 0 : utility.ownShortestUs;
  const double medianDiff = utility.Median() - loop.Median();
  const double p99Diff = utility.P99() - loop.P99();
  const bool complete = utility.failed == 0 && loop.failed == 0 && !utility.afterBlockUs.empty();
  const bool medianMet = medianDiff <= kMedianMarginUs;
  const bool p99Met = p99Diff <= kP99MarginUs;
  const bool floorMet = ownShortest >= kMandatedGapUs;
  const bool met = complete && medianMet && p99Met && floorMet;
  std::printf(
      "link: %s, %d rounds, %zu block-to-block gaps a side (the first block after each "
      "handshake apart)\n",
      labelled.c_str(), options.rounds, utility.afterBlockUs.size());
  std::printf(
      "utility: round medians %s us; first block after a handshake min %.0f us; %d of %zu gaps "
      "under 4 ms as stamped by the emulator\n",
      RoundMedians(utility.roundMediansUs).c_str(), bench::Percentile(utility.firstUs, 0),
      utility.Below(kMandatedGapUs), utility.afterBlockUs.size() + utility.firstUs.size());
  std::printf(
      "loop:    round medians %s us; first block after a handshake min %.0f us; %d of %zu gaps "
      "under 4 ms as stamped by the emulator\n",
      RoundMedians(loop.roundMediansUs).c_str(), bench::Percentile(loop.firstUs, 0),
      loop.Below(kMandatedGapUs), loop.afterBlockUs.size() + loop.firstUs.size());
  std::printf(
      "utility's own stamps (read with the CR returned to request written): median %.0f us, p99 "
      "%.0f us over %zu block-to-block pauses; shortest of all blocks %.0f us\n",
      bench::Percentile(utility.ownGapsUs, 50), bench::Percentile(utility.ownGapsUs, 99),
      utility.ownGapsUs.size(), ownShortest);
  std::printf(
      "targets: median %+.0f us over the loop (at most %.0f): %s; p99 %+.0f us (at most %.0f): "
      "%s; shortest pause %.0f us by its own stamps (at least %.0f): %s\n",
      medianDiff, kMedianMarginUs, medianMet ? "met" : "MISSED", p99Diff, kP99MarginUs,
      p99Met ? "met" : "MISSED", ownShortest, kMandatedGapUs, floorMet ? "met" : "MISSED");
  // Rows for the results table of scripts/bench.
  const auto status = [](const Side& side) {
    return side.failed == 0 ? std::string("ok") : std::to_string(side.failed) + " FAILED";
  };
  std::printf("| %s | utility | %zu | %.0f | %.0f | %.0f | %.0f | %.0f | %s |\n", labelled.c_str(),
              utility.afterBlockUs.size(), utility.Median(), utility.P99(), utility.Max(),
              utility.Min(), ownShortest, status(utility).c_str());
  std::printf("| %s | floor loop | %zu | %.0f | %.0f | %.0f | %.0f | | %s |\n", labelled.c_str(),
              loop.afterBlockUs.size(), loop.Median(), loop.P99(), loop.Max(), loop.Min(),
              status(loop).c_str());
  std::printf("| %s | utility - loop | | %+.0f | %+.0f | %+.0f | %+.0f | | %s |\n",
              labelled.c_str(), medianDiff, p99Diff, utility.Max() - loop.Max(),
              utility.Min() - loop.Min(), met ? "targets met" : "targets MISSED");
  return met ? 0 : 1;
}
