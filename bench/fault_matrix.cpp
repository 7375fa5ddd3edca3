// fault_matrix: every fault the emulator can inject, at the handshake, during
// programming, during verification and at the run command, over TCP on
// loopback and over a pseudo-terminal, each run end to end with the real
// connect procedure, upgrade sequence, links and clock. One case runs in a
// child process of its own with a deadline, so a hang or a crash shows as
// such and cannot take the matrix down with it.
//
//   fault_matrix [--link tcp|pty|both] [--only TEXT] [--pace BAUD]
//
// Prints one Markdown row a case: what the operator was shown last, whether
// that was what the fault should give, how long it took, and whether the
// emulator's flash equals the image. "Upgrade ok." must appear only when it
// does. The 7000 ms wait after the run command is shortened to 200 ms here
// (everything else runs on the real clock) so the matrix stays short.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "common/command_options.h"
#include "image/firmware_file.h"
#include "link/clock.h"
#include "link/frame.h"
#include "link/link.h"
#include "sim/emulator.h"
#include "text/message_table.h"
#include "upgrade/device_commands.h"
#include "upgrade/procedures.h"

namespace {

using namespace ql;
using sim::CommandKind;
using sim::CommandSelector;
using Steady = std::chrono::steady_clock;
using Image = std::vector<std::uint8_t>;

constexpr std::uint32_t kShortRunWaitMs = 200;
constexpr auto kCaseDeadline = std::chrono::seconds(90);
// The image ends in blocks of 0xFF, as images padded to the flash do; there
// neighbouring blocks read back the same, so a reply one exchange late still
// compares equal.
constexpr int kErasedTailBlocks = 20;
constexpr std::string_view kDeviceId = "0001";
// Its handshake reply's CRC holds letters, so a lowercase CRC tells.
constexpr std::string_view kDeviceInfo = "QL480TX-V5 1.02";

// Where the link goes away under the utility's feet.
enum class Vanish { Never, Programming, Verification };

struct Case {
  std::string fault;
  std::string where;
  std::function<void(sim::FaultConfig&)> inject;
  // The messages the operator may see last on the link.
  std::function<std::vector<int>(const Image&, sim::LinkType)> expected;
  Vanish vanish = Vanish::Never;
};

CommandSelector Nth(CommandKind kind, std::size_t nth) {
  return CommandSelector{.kind = kind, .nth = nth};
}
CommandSelector Every(CommandKind kind) {
  return CommandSelector{.kind = kind, .nth = 0};
}

std::function<std::vector<int>(const Image&, sim::LinkType)> Expect(int message) {
  return [message](const Image&, sim::LinkType) { return std::vector{message}; };
}

// Whether a reply to `body` carries a letter among its CRC characters; only
// then does a lowercase CRC differ from the right one.
bool CrcHasLetter(std::string_view body) {
  const auto frame = link::BuildReply(body);
  return std::any_of(frame.end() - 5, frame.end() - 1, [](std::uint8_t c) { return c >= 'A'; });
}

std::string HandshakeBody() {
  std::string info(kDeviceInfo);
  info.resize(16, ' ');
  return std::string(kDeviceId) + "Zx" + info;
}

std::string BlockAddress(int block) {
  char text[16];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(block) * 512u & 0xFFFFu);
  return text;
}

std::span<const std::uint8_t, 512> BlockOf(const Image& image, int block) {
  return std::span<const std::uint8_t, 512>(image.data() + static_cast<std::size_t>(block) * 512,
                                            512);
}

std::vector<Case> Cases() {
  using namespace text::msg;
  const int ok = kUpgradeOk;
  std::vector<Case> cases = {
      // At the handshake: the first is the connect's, the second opens
      // programming, the third opens verification.
      {"dropped reply", "connect handshake, 1st attempt",
       [](auto& f) { f.dropReply.push_back(Nth(CommandKind::Handshake, 1)); }, Expect(ok)},
      {"dropped reply", "every handshake",
       [](auto& f) { f.dropReply.push_back(Every(CommandKind::Handshake)); },
       Expect(kConnectError)},
      {"dropped reply", "programming handshake",
       [](auto& f) { f.dropReply.push_back(Nth(CommandKind::Handshake, 2)); },
       Expect(kProgramError)},
      {"dropped reply", "verification handshake",
       [](auto& f) { f.dropReply.push_back(Nth(CommandKind::Handshake, 3)); },
       Expect(kVerifyError)},
      {"late reply 200 ms", "connect handshake",
       [](auto& f) {
         f.lateReply.push_back({Nth(CommandKind::Handshake, 1), std::chrono::milliseconds(200)});
       },
       Expect(ok)},
      {"late reply 400 ms", "connect handshake",
       [](auto& f) {
         f.lateReply.push_back({Nth(CommandKind::Handshake, 1), std::chrono::milliseconds(400)});
       },
       Expect(ok)},
      {"late reply 400 ms", "programming handshake",
       [](auto& f) {
         f.lateReply.push_back({Nth(CommandKind::Handshake, 2), std::chrono::milliseconds(400)});
       },
       Expect(kProgramError)},
      {"late reply 400 ms", "verification handshake",
       [](auto& f) {
         f.lateReply.push_back({Nth(CommandKind::Handshake, 3), std::chrono::milliseconds(400)});
       },
       Expect(kVerifyError)},
      {"corrupt CRC", "connect handshake, 1st attempt",
       [](auto& f) { f.corruptCrc.push_back(Nth(CommandKind::Handshake, 1)); }, Expect(ok)},
      {"corrupt CRC", "every handshake",
       [](auto& f) { f.corruptCrc.push_back(Every(CommandKind::Handshake)); },
       Expect(kConnectError)},
      {"corrupt CRC", "programming handshake",
       [](auto& f) { f.corruptCrc.push_back(Nth(CommandKind::Handshake, 2)); },
       Expect(kProgramError)},
      {"corrupt CRC", "verification handshake",
       [](auto& f) { f.corruptCrc.push_back(Nth(CommandKind::Handshake, 3)); },
       Expect(kVerifyError)},
      {"lowercase CRC", "connect handshake, 1st attempt",
       [](auto& f) { f.lowercaseCrc.push_back(Nth(CommandKind::Handshake, 1)); }, Expect(ok)},
      {"lowercase CRC", "every handshake",
       [](auto& f) { f.lowercaseCrc.push_back(Every(CommandKind::Handshake)); },
       [](const Image&, sim::LinkType) {
         return std::vector{CrcHasLetter(HandshakeBody()) ? kConnectError : kUpgradeOk};
       }},
      {"lowercase CRC", "programming handshake",
       [](auto& f) { f.lowercaseCrc.push_back(Nth(CommandKind::Handshake, 2)); },
       Expect(kProgramError)},
      {"lowercase CRC", "verification handshake",
       [](auto& f) { f.lowercaseCrc.push_back(Nth(CommandKind::Handshake, 3)); },
       Expect(kVerifyError)},
      {"handshake of 28 bytes", "every handshake", [](auto& f) { f.handshakeFrameLength = 28; },
       Expect(kConnectError)},
      {"handshake of 30 bytes", "every handshake", [](auto& f) { f.handshakeFrameLength = 30; },
       Expect(kConnectError)},
      {"noise before the frame", "connect handshake",
       [](auto& f) { f.noiseBefore.push_back(Nth(CommandKind::Handshake, 1)); }, Expect(ok)},
      {"noise before the frame", "every handshake",
       [](auto& f) { f.noiseBefore.push_back(Every(CommandKind::Handshake)); }, Expect(ok)},
      {"hang-up after command 1", "after the connect handshake",
       [](auto& f) { f.hangUpAfterCommands = 1; }, Expect(ok)},
      {"hang-up after command 2", "after the programming handshake",
       [](auto& f) { f.hangUpAfterCommands = 2; }, Expect(kProgramError)},

      // During programming; write 10 is the first try of block 9.
      {"dropped reply", "write 10",
       [](auto& f) { f.dropReply.push_back(Nth(CommandKind::Write, 10)); }, Expect(ok)},
      {"dropped reply", "every write",
       [](auto& f) { f.dropReply.push_back(Every(CommandKind::Write)); }, Expect(kProgramError)},
      {"late reply 200 ms", "write 10",
       [](auto& f) {
         f.lateReply.push_back({Nth(CommandKind::Write, 10), std::chrono::milliseconds(200)});
       },
       Expect(ok)},
      {"late reply 400 ms", "write 10",
       [](auto& f) {
         f.lateReply.push_back({Nth(CommandKind::Write, 10), std::chrono::milliseconds(400)});
       },
       Expect(ok)},
      {"corrupt CRC", "write 10",
       [](auto& f) { f.corruptCrc.push_back(Nth(CommandKind::Write, 10)); }, Expect(ok)},
      {"corrupt CRC", "every write",
       [](auto& f) { f.corruptCrc.push_back(Every(CommandKind::Write)); }, Expect(kProgramError)},
      {"lowercase CRC", "every write",
       [](auto& f) { f.lowercaseCrc.push_back(Every(CommandKind::Write)); },
       [](const Image& image, sim::LinkType) {
         for (int block = 0; block < static_cast<int>(image.size() / 512); ++block) {
           if (CrcHasLetter(std::string(kDeviceId) + "Zp" + BlockAddress(block))) {
             return std::vector{kProgramError};
           }
         }
         return std::vector{kUpgradeOk};
       }},
      {"noise before the frame", "every write",
       [](auto& f) { f.noiseBefore.push_back(Every(CommandKind::Write)); }, Expect(ok)},
      {"stored bit flip", "block 10, byte 100, bit 3",
       [](auto& f) { f.storedBitFlips.push_back({.block = 10, .byte = 100, .bit = 3}); },
       Expect(kVerifyError)},
      {"refused writes, 4 tries", "block 10",
       [](auto& f) { f.refusedWrites.push_back({.block = 10, .tries = 4}); }, Expect(ok)},
      {"refused writes, 5 tries", "block 10",
       [](auto& f) { f.refusedWrites.push_back({.block = 10, .tries = 5}); },
       Expect(kProgramError)},
      {"hang-up after command 60", "programming, block 57",
       [](auto& f) { f.hangUpAfterCommands = 60; }, Expect(kProgramError)},
      {"link vanishes", "programming, after 60 writes", [](auto&) {}, Expect(kProgramError),
       Vanish::Programming},

      // During verification; verify 10 is the first try of block 9.
      {"dropped reply", "read-back 10",
       [](auto& f) { f.dropReply.push_back(Nth(CommandKind::Verify, 10)); }, Expect(ok)},
      {"dropped reply", "every read-back",
       [](auto& f) { f.dropReply.push_back(Every(CommandKind::Verify)); }, Expect(kVerifyError)},
      {"late reply 200 ms", "read-back 10",
       [](auto& f) {
         f.lateReply.push_back({Nth(CommandKind::Verify, 10), std::chrono::milliseconds(200)});
       },
       Expect(ok)},
      {"late reply 400 ms", "read-back 10",
       [](auto& f) {
         f.lateReply.push_back({Nth(CommandKind::Verify, 10), std::chrono::milliseconds(400)});
       },
       Expect(ok)},
      // In the 0xFF tail a stale reply would compare equal: the link is
      // brought back in step and the block read again.
      {"late reply 400 ms", "read-back 110, in the 0xFF tail",
       [](auto& f) {
         f.lateReply.push_back({Nth(CommandKind::Verify, 110), std::chrono::milliseconds(400)});
       },
       Expect(ok)},
      {"late reply 350 ms, stored bit flip", "read-back 111 and block 111, in the 0xFF tail",
       [](auto& f) {
         f.lateReply.push_back({Nth(CommandKind::Verify, 111), std::chrono::milliseconds(350)});
         f.storedBitFlips.push_back({.block = 111, .byte = 100, .bit = 3});
       },
       Expect(kVerifyError)},
      {"reply sent twice", "read-back 100, in the 0xFF tail",
       [](auto& f) { f.duplicateReply.push_back(Nth(CommandKind::Verify, 100)); }, Expect(ok)},
      {"reply sent twice, stored bit flip", "read-back 100 and block 105",
       [](auto& f) {
         f.duplicateReply.push_back(Nth(CommandKind::Verify, 100));
         f.storedBitFlips.push_back({.block = 105, .byte = 100, .bit = 3});
       },
       Expect(kVerifyError)},
      {"last byte lost", "read-back 100, in the 0xFF tail",
       [](auto& f) { f.dropLastByte.push_back(Nth(CommandKind::Verify, 100)); }, Expect(ok)},
      {"late reply, then a lost one, stored bit flip", "read-backs 123 and 125, block 123",
       [](auto& f) {
         f.lateReply.push_back({Nth(CommandKind::Verify, 123), std::chrono::milliseconds(350)});
         f.dropReply.push_back(Nth(CommandKind::Verify, 125));
         f.storedBitFlips.push_back({.block = 123, .byte = 100, .bit = 3});
       },
       Expect(kVerifyError)},
      // The retry takes the late reply of the same block; the reply to the
      // retry is let pass before the block is read again and the run command
      // is sent.
      {"late reply 400 ms", "read-back of the last block",
       [](auto& f) {
         f.lateReply.push_back({Nth(CommandKind::Verify, 124), std::chrono::milliseconds(400)});
       },
       Expect(ok)},
      {"late reply 400 ms", "read-back 123, next to last",
       [](auto& f) {
         f.lateReply.push_back({Nth(CommandKind::Verify, 123), std::chrono::milliseconds(400)});
       },
       Expect(ok)},
      {"corrupt CRC", "read-back 10",
       [](auto& f) { f.corruptCrc.push_back(Nth(CommandKind::Verify, 10)); }, Expect(ok)},
      {"corrupt CRC", "every read-back",
       [](auto& f) { f.corruptCrc.push_back(Every(CommandKind::Verify)); }, Expect(kVerifyError)},
      {"lowercase CRC", "every read-back",
       [](auto& f) { f.lowercaseCrc.push_back(Every(CommandKind::Verify)); },
       [](const Image& image, sim::LinkType) {
         for (int block = 0; block < static_cast<int>(image.size() / 512); ++block) {
           if (CrcHasLetter(std::string(kDeviceId) + "Zv" +
                            upgrade::BlockDataText(BlockOf(image, block)))) {
             return std::vector{kVerifyError};
           }
         }
         return std::vector{kUpgradeOk};
       }},
      {"noise before the frame", "every read-back",
       [](auto& f) { f.noiseBefore.push_back(Every(CommandKind::Verify)); }, Expect(ok)},
      // The line between the utility and the device.
      {"echoing adapter", "every request", [](auto& f) { f.echoRequest.push_back({}); },
       Expect(ok)},
      {"echo, then a glitch byte FF", "every request and reply",
       [](auto& f) {
         f.echoRequest.push_back({});
         f.glitchBefore.push_back({});
         f.glitchByte = 0xFF;
       },
       Expect(ok)},
      {"stale copy of the previous reply before it", "read-back 110, in the 0xFF tail",
       [](auto& f) { f.staleBefore.push_back(Nth(CommandKind::Verify, 110)); }, Expect(ok)},
      {"stale copy of the previous reply before it, stored bit flip", "read-back 111 and block 110",
       [](auto& f) {
         f.staleBefore.push_back(Nth(CommandKind::Verify, 111));
         f.storedBitFlips.push_back({.block = 110, .byte = 100, .bit = 3});
       },
       Expect(kVerifyError)},
      {"stale copy of the previous reply after it", "read-back 110, in the 0xFF tail",
       [](auto& f) { f.staleAfter.push_back(Nth(CommandKind::Verify, 110)); }, Expect(ok)},
      {"latency 100 ms, one reply 400 ms later", "every reply, read-back 60",
       [](auto& f) {
         f.replyLatency = std::chrono::milliseconds(100);
         f.lateReply.push_back({Nth(CommandKind::Verify, 60), std::chrono::milliseconds(400)});
       },
       Expect(ok)},
      {"latency 100 ms, one reply 400 ms later, stored bit flip",
       "every reply, read-back 60 and the last block",
       [](auto& f) {
         f.replyLatency = std::chrono::milliseconds(100);
         f.lateReply.push_back({Nth(CommandKind::Verify, 60), std::chrono::milliseconds(400)});
         f.storedBitFlips.push_back({.block = 123, .byte = 100, .bit = 3});
       },
       Expect(kVerifyError)},
      {"pause of 3 ms inside the reply", "every reply, byte 1000",
       [](auto& f) {
         f.replyPauses.push_back({.when = {}, .hold = std::chrono::milliseconds(3), .at = 1000});
       },
       Expect(ok)},
      {"read-back bit flip", "block 10, byte 100, bit 3",
       [](auto& f) { f.readbackBitFlips.push_back({.block = 10, .byte = 100, .bit = 3}); },
       Expect(kVerifyError)},
      {"lowercase read-back", "every read-back", [](auto& f) { f.lowercaseReadback = true; },
       Expect(kVerifyError)},
      {"hang-up after command 190", "verification, block 62",
       [](auto& f) { f.hangUpAfterCommands = 190; }, Expect(kVerifyError)},
      {"link vanishes", "verification, after 60 read-backs", [](auto&) {}, Expect(kVerifyError),
       Vanish::Verification},

      // The run command: its reply is not looked at.
      {"dropped reply", "run command",
       [](auto& f) { f.dropReply.push_back(Every(CommandKind::Run)); }, Expect(ok)},
      {"late reply 400 ms", "run command",
       [](auto& f) {
         f.lateReply.push_back({Every(CommandKind::Run), std::chrono::milliseconds(400)});
       },
       Expect(ok)},
      {"corrupt CRC", "run command",
       [](auto& f) { f.corruptCrc.push_back(Every(CommandKind::Run)); }, Expect(ok)},
      // Every block compared, but the link went before it had been quiet for
      // a whole window after the last reply: a late reply may have gone with
      // it, so the device is not told to run.
      {"hang-up after command 251", "before the run command",
       [](auto& f) { f.hangUpAfterCommands = 251; }, Expect(kVerifyError)},
  };
  return cases;
}

// The real clock, with the wait after the run command shortened.
struct Outcome {
  std::string result;  // outcome of the procedures
  int lastMessage = -1;
  bool upgradeOkShown = false;
  bool flashEqual = false;
  std::size_t commands = 0;
  std::size_t hangUps = 0;
};

// Runs in the child: one connect and upgrade against a fresh emulator.
Outcome RunCase(const Case& c, sim::LinkType linkType, std::uint32_t paceBaud,
                const std::filesystem::path& folder, const std::filesystem::path& firmware,
                const Image& image) {
  sim::SimConfig config;
  config.link.type = linkType;
  config.link.port = 0;
  if (linkType == sim::LinkType::Pty) {
    // A hang-up serves a new terminal; the link name follows it.
    config.link.ptyLink = (folder / "ttyQL").string();
  }
  config.device.deviceId = std::string(kDeviceId);
  config.device.deviceInfo = std::string(kDeviceInfo);
  config.device.rebootSilence = std::chrono::milliseconds(300);
  if (paceBaud > 0) {
    config.faults.pacing = {.baud = paceBaud, .bitsPerByte = 11.0, .requests = true};
  }
  c.inject(config.faults);

  Outcome outcome;
  sim::Emulator emulator(config);
  std::string error;
  if (!emulator.Start(error)) {
    outcome.result = "emulator: " + error;
    return outcome;
  }

  std::atomic<bool> finished = false;
  std::thread vanisher;
  if (c.vanish != Vanish::Never) {
    vanisher = std::thread([&] {
      auto due = [&c](const sim::Counters& counters) {
        return c.vanish == Vanish::Programming ? counters.writes >= 60 : counters.verifies >= 60;
      };
      while (!finished) {
        if (emulator.WaitUntil(due, std::chrono::milliseconds(50))) {
          emulator.Stop();
          return;
        }
      }
    });
  }

  upgrade::ConnectInputs inputs;
  if (linkType == sim::LinkType::Tcp) {
    inputs.link.linkKind = link::LinkKind::Tcp;
    inputs.link.netIp = "127.0.0.1";
    inputs.link.netPort = std::to_string(emulator.Port());
  } else {
    inputs.link.linkKind = link::LinkKind::Serial;
    inputs.link.comPortName = config.link.ptyLink;
    inputs.link.comBaudRate = "921600,e,8,1";
  }
  inputs.deviceId = std::string(kDeviceId);
  inputs.fileVersionText = image::ReadHeaderText(firmware).value_or("");
  inputs.selectedHeader = inputs.fileVersionText;
  inputs.firmwarePath = firmware;

  bench::RecordingEvents view;
  link::SystemClock clock;
  upgrade::Environment env{view, clock, link::TryOpenLink, nullptr};
  env.runWaitMs = kShortRunWaitMs;
  upgrade::DeviceState state;
  const auto connected = upgrade::ConnectProcedure(inputs, state, env);
  std::optional<upgrade::UpgradeResult> upgraded;
  if (connected == upgrade::ConnectResult::Matched) {
    upgraded = upgrade::UpgradeSequence(inputs.deviceId, state, env);
  }
  finished = true;
  if (vanisher.joinable()) {
    vanisher.join();
  }
  emulator.Stop();

  static const char* const kConnectNames[] = {"matched", "link not opened", "no handshake",
                                              "model mismatch", "load failed"};
  static const char* const kUpgradeNames[] = {"upgrade ok", "link not opened", "program failed",
                                              "verify failed"};
  outcome.result = upgraded ? kUpgradeNames[static_cast<int>(*upgraded)]
                            : kConnectNames[static_cast<int>(connected)];
  if (!view.Messages().empty()) {
    outcome.lastMessage = view.Messages().back().first;
  }
  outcome.upgradeOkShown = view.Showed(text::msg::kUpgradeOk);
  const auto flash = emulator.Flash();
  outcome.flashEqual =
      flash.size() >= image.size() && std::equal(image.begin(), image.end(), flash.begin());
  const auto counters = emulator.GetCounters();
  outcome.commands = counters.commands;
  outcome.hangUps = counters.hangUps;
  return outcome;
}

std::string Serialise(const Outcome& o) {
  std::ostringstream out;
  out << o.lastMessage << '\t' << o.upgradeOkShown << '\t' << o.flashEqual << '\t' << o.commands
      << '\t' << o.hangUps << '\t' << o.result << '\n';
  return out.str();
}

std::optional<Outcome> Deserialise(const std::string& text) {
  std::istringstream in(text);
  Outcome o;
  if (!(in >> o.lastMessage >> o.upgradeOkShown >> o.flashEqual >> o.commands >> o.hangUps)) {
    return std::nullopt;
  }
  in.get();
  std::getline(in, o.result);
  return o;
}

struct Verdict {
  std::optional<Outcome> outcome;
  std::string failure;  // "hung", "crashed (signal 11)", ...
  double seconds = 0;
};

// Forks a child that runs the case and reports through a pipe; kills it when
// it overruns the deadline. The parent stays single-threaded.
Verdict RunIsolated(const std::function<Outcome()>& run) {
  Verdict verdict;
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) {
    verdict.failure = "no pipe";
    return verdict;
  }
  std::fflush(stdout);
  const auto start = Steady::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipeFds[0]);
    const std::string line = Serialise(run());
    [[maybe_unused]] const auto ignored = ::write(pipeFds[1], line.data(), line.size());
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  std::string text;
  const auto deadline = start + kCaseDeadline;
  bool timedOut = false;
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd pfd{pipeFds[0], POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left)) <= 0) {
      continue;
    }
    char buffer[512];
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) {
      break;
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipeFds[0]);
  if (timedOut) {
    ::kill(pid, SIGKILL);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  verdict.seconds = std::chrono::duration<double>(Steady::now() - start).count();
  if (timedOut) {
    verdict.failure = "HUNG (killed after " + std::to_string(kCaseDeadline.count()) + " s)";
  } else if (WIFSIGNALED(status)) {
    verdict.failure = "CRASHED (signal " + std::to_string(WTERMSIG(status)) + ")";
  } else {
    verdict.outcome = Deserialise(text);
    if (!verdict.outcome) {
      verdict.failure = "no result (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
    }
  }
  return verdict;
}

std::string MessageText(int number) {
  if (number < 0) {
    return "(none)";
  }
  return "\"" + text::StripAccelerator(text::Message(number, text::Language::English)) + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<sim::LinkType> links{sim::LinkType::Tcp, sim::LinkType::Pty};
  std::string only;
  std::uint32_t paceBaud = 0;
  const std::vector<command_options::Option> table = {
      {"--link", 0, true,
       [&links](const std::string& value) {
         if (value == "tcp" || value == "pty") {
           links = {value == "tcp" ? sim::LinkType::Tcp : sim::LinkType::Pty};
         }
         return value == "tcp" || value == "pty" || value == "both";
       }},
      {"--only", 0, true,
       [&only](const std::string& value) {
         only = value;
         return !value.empty();
       }},
      {"--pace", 0, true, command_options::Into(paceBaud)},
  };
  if (const auto parsed = command_options::Parse(table, {argv + 1, argv + argc}, {});
      !parsed.error.empty()) {
    std::fprintf(stderr,
                 "fault_matrix: %s\n"
                 "usage: fault_matrix [--link tcp|pty|both] [--only TEXT] [--pace BAUD]\n",
                 parsed.error.c_str());
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);

  bench::TempDir temp;
  const auto firmware = temp.Path() / "matrix.QLB";
  const auto image =
      bench::WriteFirmwareFile(firmware, bench::kFullImageBlocks, 7, kErasedTailBlocks);
  if (!image) {
    std::fprintf(stderr, "fault_matrix: cannot write the firmware file\n");
    return 2;
  }

  std::printf(
      "| # | fault | where | link | last message shown | as expected | s | hung or "
      "crashed | flash = image | \"Upgrade ok.\" only with equal flash |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
  int row = 0;
  int problems = 0;
  for (const Case& c : Cases()) {
    if (!only.empty() && (c.fault + " " + c.where).find(only) == std::string::npos) {
      continue;
    }
    for (const sim::LinkType link : links) {
      const std::vector<int> expected = c.expected(*image, link);
      const Verdict verdict =
          RunIsolated([&] { return RunCase(c, link, paceBaud, temp.Path(), firmware, *image); });
      ++row;
      const char* linkName = link == sim::LinkType::Tcp ? "TCP" : "pty";
      if (!verdict.outcome) {
        ++problems;
        std::printf("| %d | %s | %s | %s | - | - | %.1f | **%s** | - | - |\n", row, c.fault.c_str(),
                    c.where.c_str(), linkName, verdict.seconds, verdict.failure.c_str());
        continue;
      }
      const Outcome& o = *verdict.outcome;
      const bool asExpected =
          std::find(expected.begin(), expected.end(), o.lastMessage) != expected.end();
      std::string expectedText;
      for (const int message : expected) {
        expectedText += (expectedText.empty() ? "" : " or ") + MessageText(message);
      }
      const bool safe = !o.upgradeOkShown || o.flashEqual;
      problems += asExpected && safe ? 0 : 1;
      std::printf("| %d | %s | %s | %s | %s | %s | %.1f | no | %s | %s |\n", row, c.fault.c_str(),
                  c.where.c_str(), linkName, MessageText(o.lastMessage).c_str(),
                  asExpected ? "yes" : ("**no**, expected " + expectedText).c_str(),
                  verdict.seconds, o.flashEqual ? "yes" : "no", safe ? "holds" : "**VIOLATED**");
      std::fflush(stdout);
    }
  }
  std::printf("\n%d cases, %d with a problem\n", row, problems);
  return problems == 0 ? 0 : 1;
}
