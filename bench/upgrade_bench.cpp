// upgrade_bench: one connect and upgrade of a full image with the real
// procedures, the real clock (the 7000 ms wait included) and the real links,
// against the emulator program running as a separate process. Prints the
// wall time against the protocol floor, the CPU time of the thread that ran
// the procedures, and how soon each exchange returned after its reply's CR
// left the emulator.
//
//   upgrade_bench --link tcp
//   upgrade_bench --link pty --baud 115200 [--framing 8E1] [--no-pace-requests]
//   ... [--max-ratio 1.01]   also fail when wall / floor is above this
//   ... [--echo]             through a half-duplex adapter that echoes every request
//
// The floor is what the device protocol cannot do without: the pauses the
// procedures must make (100 ms before each handshake, 100 ms after the
// connect handshake, 50 ms after each upgrade handshake, 4 ms before each
// block, 50 ms before the run command, 7000 ms after it, and the length of
// each tone: 300 ms at the connect, 100 ms after programming, 300 ms at the
// end) plus, on a paced line, every byte of the requests and replies at the
// line's rate. Tones are not played (as in the command-line program), but
// their lengths are paused for, as in every front end.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "common/command_options.h"
#include "image/firmware_file.h"
#include "link/clock.h"
#include "link/link.h"
#include "link/transport.h"
#include "upgrade/procedures.h"

namespace {

using namespace ql;
using Steady = std::chrono::steady_clock;

struct Options {
  std::string link = "tcp";
  std::uint32_t baud = 0;  // 0: the emulator does not pace its bytes
  std::string framing = "8E1";
  bool paceRequests = true;
  int blocks = bench::kFullImageBlocks;
  std::string sim;
  double maxRatio = 0;  // 0: any ratio passes
  bool echo = false;    // the emulator echoes every request frame
};

double BitsPerByte(const std::string& framing) {
  // Start bit, data bits, parity bit unless N, stop bits.
  const double data = framing[0] - '0';
  const double parity = (framing[1] == 'N' || framing[1] == 'n') ? 0 : 1;
  const double stop = std::strtod(framing.c_str() + 2, nullptr);
  return 1 + data + parity + stop;
}

[[noreturn]] void Usage(const char* problem) {
  std::fprintf(stderr,
               "upgrade_bench: %s\n"
               "usage: upgrade_bench --link tcp|pty [--baud N] [--framing 8E1] "
               "[--no-pace-requests] [--blocks N] [--max-ratio R] [--echo] [--sim PATH]\n",
               problem);
  std::exit(2);
}

Options Parse(int argc, char** argv) {
  Options o;
  o.sim = (bench::ProgramFolder() / "ql480tx-sim").string();
  using command_options::Into;
  using command_options::Set;
  const std::vector<command_options::Option> table = {
      {"--link", 0, true, Into(o.link)},
      {"--baud", 0, true, Into(o.baud)},
      {"--framing", 0, true, Into(o.framing)},
      {"--no-pace-requests", 0, false, Set(o.paceRequests, false)},
      {"--blocks", 0, true, Into(o.blocks)},
      {"--sim", 0, true, Into(o.sim)},
      {"--echo", 0, false, Set(o.echo)},
      {"--max-ratio", 0, true, Into(o.maxRatio)},
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
  if (o.framing.size() < 3 || o.blocks < 0 || o.blocks > bench::kFullImageBlocks) {
    Usage("bad --framing or --blocks");
  }
  return o;
}

// Timestamps around the exchanges without touching the exchange itself. The
// link marks when reply bytes were read; the first call the procedure makes
// to the clock's sleep or to its events after that is the moment its
// ExchangeCommand had returned (every successful exchange is followed by a
// pause or a block done before anything else).
class Probe {
 public:
  void RequestWritten(std::size_t bytes) {
    writes_.push_back(Steady::now());
    exchangeRequestBytes_.push_back(bytes);
    exchangeReplyBytes_.push_back(0);
    requestBytes_ += bytes;
  }
  void ReplyBytesRead(std::size_t bytes) {
    lastRead_ = Steady::now();
    replyBytes_ += bytes;
    if (!exchangeReplyBytes_.empty()) {
      exchangeReplyBytes_.back() += bytes;
    }
    pending_ = true;
  }
  void Mark() {
    if (pending_) {
      returns_.push_back(Steady::now());
      lastReads_.push_back(lastRead_);
      pending_ = false;
    }
  }

  const std::vector<Steady::time_point>& Writes() const { return writes_; }
  const std::vector<Steady::time_point>& Returns() const { return returns_; }
  // When the read that brought the last bytes of each reply returned.
  const std::vector<Steady::time_point>& LastReads() const { return lastReads_; }
  // The request and the reply bytes of each exchange.
  const std::vector<std::size_t>& ExchangeRequestBytes() const { return exchangeRequestBytes_; }
  const std::vector<std::size_t>& ExchangeReplyBytes() const { return exchangeReplyBytes_; }
  std::size_t RequestBytes() const { return requestBytes_; }
  std::size_t ReplyBytes() const { return replyBytes_; }

 private:
  std::vector<Steady::time_point> writes_;
  std::vector<Steady::time_point> returns_;
  std::vector<Steady::time_point> lastReads_;
  Steady::time_point lastRead_{};
  std::vector<std::size_t> exchangeRequestBytes_;
  std::vector<std::size_t> exchangeReplyBytes_;
  std::size_t requestBytes_ = 0;
  std::size_t replyBytes_ = 0;
  bool pending_ = false;
};

class ProbeTransport final : public link::Transport {
 public:
  ProbeTransport(std::unique_ptr<link::Transport> inner, Probe& probe)
      : inner_(std::move(inner)), probe_(probe) {}
  link::LinkKind Kind() const override { return inner_->Kind(); }
  link::WriteResult Write(std::span<const std::uint8_t> bytes) override {
    probe_.RequestWritten(bytes.size());
    return inner_->Write(bytes);
  }
  link::ReadResult Read(std::span<std::uint8_t> into, std::chrono::microseconds wait) override {
    const link::ReadResult read = inner_->Read(into, wait);
    if (read.count > 0) {
      probe_.ReplyBytesRead(read.count);
    }
    return read;
  }
  std::string GoneReason() const override { return inner_->GoneReason(); }
  bool InputWaiting() override { return inner_->InputWaiting(); }
  std::chrono::nanoseconds CharacterTime() const override { return inner_->CharacterTime(); }
  void Close() override { inner_->Close(); }

 private:
  std::unique_ptr<link::Transport> inner_;
  Probe& probe_;
};

class ProbeClock final : public link::Clock {
 public:
  explicit ProbeClock(Probe& probe) : probe_(probe) {}
  std::uint32_t NowMs() override { return real_.NowMs(); }
  void MarkPauseStart() override {
    real_.MarkPauseStart();
    mark_ = Steady::now();
  }
  void SleepMs(std::uint32_t ms) override {
    probe_.Mark();
    const auto deadline = Steady::now() + std::chrono::milliseconds(ms);
    real_.SleepMs(ms);
    Count(ms, deadline);
  }
  // Over is counted against the pause's own deadline, `ms` after the mark
  // the real clock counts from (mirrored here).
  void SleepAfterMarkMs(std::uint32_t ms) override {
    probe_.Mark();
    const auto deadline = mark_.value_or(Steady::now()) + std::chrono::milliseconds(ms);
    real_.SleepAfterMarkMs(ms);
    Count(ms, deadline);
  }

  double RequestedMs() const { return requestedMs_; }
  double OverMs() const { return overMs_; }
  double MaxOverMs() const { return maxOverMs_; }
  int Sleeps() const { return sleeps_; }

 private:
  void Count(std::uint32_t ms, Steady::time_point deadline) {
    mark_ = deadline;
    const double over = std::chrono::duration<double, std::milli>(Steady::now() - deadline).count();
    requestedMs_ += ms;
    overMs_ += over;
    maxOverMs_ = std::max(maxOverMs_, over);
    ++sleeps_;
  }

  link::SystemClock real_;
  Probe& probe_;
  std::optional<Steady::time_point> mark_;
  double requestedMs_ = 0;
  double overMs_ = 0;
  double maxOverMs_ = 0;
  int sleeps_ = 0;
};

class ProbeView final : public bench::RecordingEvents {
 public:
  explicit ProbeView(Probe& probe) : probe_(probe) {}

 protected:
  void Touch() override { probe_.Mark(); }

 private:
  Probe& probe_;
};

double CpuMs(const rusage& usage) {
  auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// The emulator, killed by the watchdog if the run does not end in time.
volatile sig_atomic_t simPid = 0;

void Watchdog(int) {
  if (simPid > 0) {
    ::kill(simPid, SIGKILL);
  }
  constexpr char kText[] = "upgrade_bench: the run did not end in time\n";
  [[maybe_unused]] const auto ignored = ::write(STDERR_FILENO, kText, sizeof kText - 1);
  ::_exit(3);
}

double Ms(Steady::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  const bool paced = options.baud > 0;
  const double bits = BitsPerByte(options.framing);
  const int blocks = options.blocks;

  bench::TempDir temp;
  const auto firmwarePath = temp.Path() / "bench.QLB";
  const auto flashPath = temp.Path() / "flash.bin";
  const auto image = bench::WriteFirmwareFile(firmwarePath, blocks, 20240611);
  if (!image) {
    Usage("cannot write the firmware file");
  }

  std::vector<std::string> simArgs{"--reply-times", "--quit-after-run", "--quit-on-eof",
                                   "--flash-out", flashPath.string()};
  if (options.link == "tcp") {
    simArgs.insert(simArgs.end(), {"--tcp", "127.0.0.1:0"});
  } else {
    simArgs.push_back("--pty");
  }
  if (paced) {
    simArgs.insert(simArgs.end(), {"--pace", std::to_string(options.baud) + "," + options.framing});
    if (options.paceRequests) {
      simArgs.push_back("--pace-requests");
    }
  }
  if (options.echo) {
    simArgs.insert(simArgs.end(), {"--echo", "all"});
  }
  std::string error;
  auto sim = bench::ChildProcess::Start(options.sim, simArgs, temp.Path() / "sim.log", error);
  if (!sim) {
    Usage(error.c_str());
  }
  simPid = sim->Pid();
  const auto where = sim->ReadLine(std::chrono::seconds(5));
  if (!where) {
    Usage("the emulator did not say where it serves");
  }

  // Mandated pauses, tones included, and what the whole run may take at most.
  const double pausesMs = 3 * 100 + 100 + 2 * 50 + 2 * 4.0 * blocks + 50 + 7000 + 300 + 100 + 300;
  ::signal(SIGALRM, Watchdog);
  ::alarm(static_cast<unsigned>(60 + 3 * pausesMs / 1000 +
                                (paced ? 3 * 270000.0 * bits / options.baud : 0)));

  upgrade::ConnectInputs inputs;
  if (options.link == "tcp") {
    inputs.link.linkKind = link::LinkKind::Tcp;
    inputs.link.netIp = "127.0.0.1";
    inputs.link.netPort = where->substr(where->rfind(':') + 1);
  } else {
    inputs.link.linkKind = link::LinkKind::Serial;
    inputs.link.comPortName = where->substr(where->find(' ') + 1);
    const std::uint32_t baud = paced ? options.baud : 115200;
    inputs.link.comBaudRate = std::to_string(baud) + ",e,8,1";
  }
  inputs.fileVersionText = image::ReadHeaderText(firmwarePath).value_or("");
  inputs.selectedHeader = inputs.fileVersionText;
  inputs.firmwarePath = firmwarePath;

  Probe probe;
  ProbeClock clock(probe);
  ProbeView view(probe);
  link::LinkOpener opener = [&probe](const link::LinkSettings& link,
                                     std::string& why) -> std::unique_ptr<link::Transport> {
    auto inner = link::TryOpenLink(link, why);
    if (!inner) {
      return nullptr;
    }
    return std::make_unique<ProbeTransport>(std::move(inner), probe);
  };
  upgrade::Environment env{view, clock, opener, nullptr};
  upgrade::DeviceState state;

  rusage before{};
  ::getrusage(RUSAGE_THREAD, &before);
  const auto start = Steady::now();
  const auto connected = upgrade::ConnectProcedure(inputs, state, env);
  auto upgraded = upgrade::UpgradeResult::LinkNotOpened;
  if (connected == upgrade::ConnectResult::Matched) {
    upgraded = upgrade::UpgradeSequence(inputs.deviceId, state, env);
  }
  const auto end = Steady::now();
  rusage after{};
  ::getrusage(RUSAGE_THREAD, &after);
  ::alarm(0);

  // The emulator quits once the run command is carried out; its remaining
  // output is the CR time of every reply.
  sim->CloseInput();
  std::vector<std::int64_t> crNs;
  while (const auto line = sim->ReadLine(std::chrono::seconds(5))) {
    long long number = 0;
    long long ns = 0;
    char kind[16] = {};
    if (std::sscanf(line->c_str(), "reply %lld %15s %lld", &number, kind, &ns) == 3) {
      crNs.push_back(ns);
    }
  }
  const bool simEnded = sim->WaitExit(std::chrono::seconds(10));
  simPid = 0;
  const auto flash = bench::ReadWholeFile(flashPath);
  const bool flashEqual = flash && flash->size() >= image->size() &&
                          std::equal(image->begin(), image->end(), flash->begin());

  const double wallMs = Ms(end - start);
  const double wireMs =
      paced ? (static_cast<double>(options.paceRequests ? probe.RequestBytes() : 0) +
               static_cast<double>(probe.ReplyBytes())) *
                  bits * 1000.0 / options.baud
            : 0.0;
  const double floorMs = pausesMs + wireMs;
  const double cpuMs = CpuMs(after) - CpuMs(before);

  std::vector<double> latencyUs;
  const auto& returns = probe.Returns();
  const bool matched = returns.size() == crNs.size() && !returns.empty();
  if (matched) {
    for (std::size_t i = 0; i < returns.size(); ++i) {
      const auto returnNs =
          std::chrono::duration_cast<std::chrono::nanoseconds>(returns[i].time_since_epoch())
              .count();
      latencyUs.push_back(static_cast<double>(returnNs - crNs[i]) / 1000.0);
    }
  }
  // Each exchange split at its reply's CR: request written to CR on the
  // emulator's side (less the line time of its bytes), CR to return on ours.
  double exchangeMs = 0;
  double emulatorExcessMs = 0;
  double utilityMs = 0;
  std::vector<double> inProcessUs;
  for (std::size_t i = 0; i < returns.size(); ++i) {
    inProcessUs.push_back(Ms(returns[i] - probe.LastReads()[i]) * 1000.0);
  }
  for (std::size_t i = 0; i < std::min(returns.size(), probe.Writes().size()); ++i) {
    exchangeMs += Ms(returns[i] - probe.Writes()[i]);
    if (matched) {
      const double lineMs =
          paced ? (static_cast<double>(options.paceRequests ? probe.ExchangeRequestBytes()[i] : 0) +
                   static_cast<double>(probe.ExchangeReplyBytes()[i])) *
                      bits * 1000.0 / options.baud
                : 0.0;
      const auto writeNs =
          std::chrono::duration_cast<std::chrono::nanoseconds>(probe.Writes()[i].time_since_epoch())
              .count();
      emulatorExcessMs += static_cast<double>(crNs[i] - writeNs) / 1e6 - lineMs;
      utilityMs += latencyUs[i] / 1000.0;
    }
  }

  const bool upgradeOk = connected == upgrade::ConnectResult::Matched &&
                         upgraded == upgrade::UpgradeResult::UpgradeOk && flashEqual && matched;
  // A clean upgrade: the connect's handshake, a handshake before each phase,
  // every block twice and the run command. Repeated exchanges count in the
  // floor's bytes, so a run with many of them can look close to its floor
  // while taking far longer than a clean one.
  const std::size_t cleanExchanges = 2 * static_cast<std::size_t>(blocks) + 4;
  const std::size_t repeated =
      probe.Writes().size() > cleanExchanges ? probe.Writes().size() - cleanExchanges : 0;
  const bool ratioOk =
      options.maxRatio <= 0 || (wallMs / floorMs <= options.maxRatio && repeated == 0);
  const bool ok = upgradeOk && ratioOk;
  char ratioText[80];
  if (repeated > 0) {
    std::snprintf(ratioText, sizeof ratioText, "FAILED: %zu exchanges repeated", repeated);
  } else {
    std::snprintf(ratioText, sizeof ratioText, "FAILED: ratio above %.2f", options.maxRatio);
  }
  const std::string label =
      (options.link == "tcp"
           ? "TCP loopback"
           : (paced ? "pty " + std::to_string(options.baud) + " " + options.framing +
                          (options.paceRequests ? "" : " (replies only)")
                    : "pty unpaced")) +
      (options.echo ? ", echoing adapter" : "");

  std::printf("link:             %s (%s)\n", label.c_str(), where->c_str());
  const auto outcome = [](upgrade::UpgradeResult result) {
    switch (result) {
      case upgrade::UpgradeResult::UpgradeOk:
        return "Upgrade ok.";
      case upgrade::UpgradeResult::LinkNotOpened:
        return "FAILED: link not opened";
      case upgrade::UpgradeResult::ProgramFailed:
        return "FAILED: programming";
      case upgrade::UpgradeResult::VerifyFailed:
        return "FAILED: verification";
      case upgrade::UpgradeResult::Interrupted:
        break;
    }
    return "FAILED: interrupted";
  };
  const std::string lastMessage =
      view.Messages().empty() ? "none" : std::to_string(view.Messages().back().first);
  std::printf(
      "result:           %s%s, last message %s, flash %s, %zu exchanges, %zu replies recorded\n",
      connected == upgrade::ConnectResult::Matched ? "" : "connect FAILED, ", outcome(upgraded),
      lastMessage.c_str(), flashEqual ? "equals the image" : "DIFFERS", probe.Writes().size(),
      crNs.size());
  if (repeated > 0) {
    std::printf("repeated:         %zu exchanges beyond a clean upgrade's %zu\n", repeated,
                cleanExchanges);
  }
  std::printf("wall:             %.1f ms\n", wallMs);
  std::printf(
      "floor:            %.1f ms = pauses %.0f ms + wire %.1f ms (%zu request + %zu reply "
      "bytes at %.0f bits a byte)\n",
      floorMs, pausesMs, wireMs, probe.RequestBytes(), probe.ReplyBytes(), bits);
  std::printf("ratio:            %.4f\n", wallMs / floorMs);
  std::printf(
      "cpu:              %.1f ms = %.2f %% of wall (user %.1f, system %.1f; %ld voluntary "
      "switches)\n",
      cpuMs, 100.0 * cpuMs / wallMs,
      after.ru_utime.tv_sec * 1e3 + after.ru_utime.tv_usec / 1e3 -
          (before.ru_utime.tv_sec * 1e3 + before.ru_utime.tv_usec / 1e3),
      after.ru_stime.tv_sec * 1e3 + after.ru_stime.tv_usec / 1e3 -
          (before.ru_stime.tv_sec * 1e3 + before.ru_stime.tv_usec / 1e3),
      after.ru_nvcsw - before.ru_nvcsw);
  std::printf("reply latency:    median %.0f us, p99 %.0f us, max %.0f us over %zu exchanges\n",
              bench::Percentile(latencyUs, 50), bench::Percentile(latencyUs, 99),
              bench::Percentile(latencyUs, 100), latencyUs.size());
  std::printf(
      "where the time went: sleeps %.0f ms asked + %.1f ms over (%d sleeps, worst %.2f "
      "ms over); exchanges %.1f ms; the rest %.1f ms\n",
      clock.RequestedMs(), clock.OverMs(), clock.Sleeps(), clock.MaxOverMs(), exchangeMs,
      wallMs - clock.RequestedMs() - clock.OverMs() - exchangeMs);
  std::printf(
      "exchanges beyond the line time: %.1f ms from request to reply CR (emulator and "
      "kernel), %.1f ms from reply CR to return (this side)\n",
      emulatorExcessMs, utilityMs);
  std::printf(
      "of which in this process, from the read that brought the CR to the return: "
      "median %.1f us, p99 %.1f us\n",
      bench::Percentile(inProcessUs, 50), bench::Percentile(inProcessUs, 99));
  // One row for the results table of scripts/bench.
  std::printf("| %s | %.0f | %.0f | %.4f | %.2f %% | %.0f | %.0f | %s |\n", label.c_str(), wallMs,
              floorMs, wallMs / floorMs, 100.0 * cpuMs / wallMs, bench::Percentile(latencyUs, 50),
              bench::Percentile(latencyUs, 99),
              !upgradeOk ? "FAILED" : (ratioOk ? "ok" : ratioText));
  if (!simEnded) {
    std::fprintf(stderr, "upgrade_bench: the emulator did not end cleanly\n");
  }
  return ok ? 0 : 1;
}
