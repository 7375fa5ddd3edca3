// ql480tx-flash as a technician meets it in the field, run against emulated
// devices over TCP on 127.0.0.1 and over a pseudo-terminal: stopped by a
// signal mid-programming, piped into a reader that goes away, traced,
// reading a device's flash into a file and writing it back, checking a flash
// without writing, refusing what it cannot use, and its status rows on a
// 60-column terminal.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "link/frame.h"
#include "program_fixture.h"

namespace ql::flash {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr int kBlocks = 124;
constexpr std::size_t kFlashBytes = 124 * 512;
// The test hook that shortens the program's wait after the run command.
const std::string kShortRunWait = "QL480TX_FLASH_RUN_WAIT_MS=300";

std::vector<std::uint8_t> RandomBytes(std::size_t size, unsigned seed) {
  std::vector<std::uint8_t> bytes(size);
  std::mt19937 random(seed);
  for (auto& b : bytes) {
    b = static_cast<std::uint8_t>(random());
  }
  return bytes;
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A TCP port on 127.0.0.1 that nobody listens on.
std::string RefusedPort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  close(s);
  return std::to_string(ntohs(address.sin_port));
}

// Sends `sig` once the device has taken `writes` block writes.
std::function<void(pid_t, const std::string&, const std::string&)> SignalAfterWrites(
    const sim::Emulator& device, std::size_t writes, int sig) {
  auto sent = std::make_shared<bool>(false);
  return [&device, writes, sig, sent](pid_t pid, const std::string&, const std::string&) {
    if (!*sent && device.GetCounters().writes >= writes) {
      kill(pid, sig);
      *sent = true;
    }
  };
}

class FieldTest : public FlashProgramTest {
 protected:
  // A device whose flash holds an older image, reached over `link`.
  std::unique_ptr<sim::Emulator> OldDevice(sim::LinkType link, sim::SimConfig config = {}) {
    config.link.type = link;
    config.device.initialFlash = RandomBytes(kFlashBytes, 99);
    return Emulator(config);
  }

  static std::string LinkOption(sim::LinkType link) {
    return link == sim::LinkType::Tcp ? "--tcp" : "--serial";
  }
  static std::string LinkValue(const sim::Emulator& device, sim::LinkType link) {
    return link == sim::LinkType::Tcp ? Tcp(device) : device.SlavePath();
  }

  RunSetup Setup(std::vector<std::string> args, std::vector<std::string> env = {}) const {
    RunSetup setup;
    setup.args = std::move(args);
    setup.configHome = Config();
    setup.env = std::move(env);
    return setup;
  }

  // The whole flash's worth of firmware: 124 blocks, every byte from the file.
  fs::path FullImage(unsigned seed = 7) { return FirmwareOf(RandomBytes(kFlashBytes, seed)); }
};

TEST_F(FieldTest, EachStopSignalMidProgrammingLeavesExactlyTheBlocksWritten) {
  const auto file = FullImage();
  const std::pair<int, const char*> stopSignals[] = {
      {SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
  for (const auto link : {sim::LinkType::Tcp, sim::LinkType::Pty}) {
    for (const auto& [sig, name] : stopSignals) {
      SCOPED_TRACE(std::string(name) + (link == sim::LinkType::Tcp ? " over TCP" : " over pty"));
      auto device = OldDevice(link);
      const auto old = device->Flash();
      RunSetup setup;
      setup.args = {LinkOption(link), LinkValue(*device, link), file.string()};
      setup.configHome = Config();
      setup.during = SignalAfterWrites(*device, 10, sig);
      const auto run = RunFlash(setup);

      EXPECT_EQ(run.status, 130) << run.out << run.err;
      EXPECT_TRUE(Contains(run.err, std::string(name) + ": stopping at the next exchange boundary"))
          << run.err;
      std::smatch found;
      const std::regex account(
          "programming stopped after ([0-9]+) of 124 blocks: the device holds a partial image "
          "and was not told to run it; run the upgrade again to complete it");
      ASSERT_TRUE(std::regex_search(run.err, found, account)) << run.err;
      const std::size_t done = std::stoul(found[1]);
      const auto counters = device->GetCounters();
      // Every write sent got its reply window: the device took exactly
      // the blocks the program counts, and nothing after them.
      EXPECT_EQ(counters.writes, done);
      EXPECT_GE(done, 10u);
      EXPECT_LT(done, 124u);
      EXPECT_EQ(counters.verifies, 0u);
      EXPECT_EQ(counters.runs, 0u);
      const auto flash = device->Flash();
      const std::size_t split = done * 512;
      EXPECT_TRUE(std::equal(image_.begin(), image_.begin() + split, flash.begin()));
      EXPECT_TRUE(std::equal(old.begin() + split, old.end(), flash.begin() + split));
      EXPECT_TRUE(device->WaitUntil(
          [](const sim::Counters& c) { return c.disconnections == c.connections; },
          milliseconds(30000)))
          << "the link was left open";
      EXPECT_FALSE(Contains(run.out, "Upgrade ok."));
    }
  }
}

TEST_F(FieldTest, ASecondCtrlCEndsAtOnce) {
  const auto file = FullImage();
  sim::SimConfig config;
  // Every write answered late, within its window: the program is nearly
  // always inside an exchange.
  config.faults.lateReply.push_back({{sim::CommandKind::Write, 0}, milliseconds(250)});
  auto device = OldDevice(sim::LinkType::Tcp, config);
  RunSetup setup;
  setup.args = {"--tcp", Tcp(*device), file.string()};
  setup.configHome = Config();
  int sent = 0;
  setup.during = [&](pid_t pid, const std::string&, const std::string& err) {
    if (sent == 0 && device->GetCounters().writes >= 2) {
      kill(pid, SIGINT);
      sent = 1;
    } else if (sent == 1 && Contains(err, "stopping at the next exchange boundary")) {
      kill(pid, SIGINT);
      sent = 2;
    }
  };
  const auto run = RunFlash(setup);
  EXPECT_EQ(sent, 2);
  EXPECT_EQ(run.status, 130);
  EXPECT_TRUE(Contains(run.err, "stopped at once")) << run.err;
  EXPECT_FALSE(Contains(run.err, "programming stopped after")) << run.err;
  EXPECT_EQ(device->GetCounters().runs, 0u);
}

TEST_F(FieldTest, AStopDuringTheWaitAfterTheRunCommandSaysTheDeviceWasToldToRun) {
  const auto file = Firmware(2000);
  auto device = Emulator();
  RunSetup setup;
  setup.args = {"--tcp", Tcp(*device), file.string()};
  setup.configHome = Config();
  // A wait of ten minutes: one the stop did not cut would outlast the
  // runner's limit, on any machine.
  setup.env = {"QL480TX_FLASH_RUN_WAIT_MS=600000"};
  bool sent = false;
  setup.during = [&](pid_t pid, const std::string&, const std::string&) {
    if (!sent && device->GetCounters().runs == 1) {
      kill(pid, SIGTERM);
      sent = true;
    }
  };
  const auto run = RunFlash(setup);
  EXPECT_EQ(run.status, 130);
  EXPECT_TRUE(Contains(run.err,
                       "stopped after the run command: the device holds the new image, "
                       "verified, and was told to run it"))
      << run.err;
  EXPECT_FALSE(Contains(run.out, "Upgrade ok."));
  EXPECT_TRUE(Holds(*device));
}

TEST_F(FieldTest, AReaderThatGoesAwayAfterOneLineNeverStopsTheUpgrade) {
  const auto file = Firmware(10000);
  for (const bool json : {true, false}) {
    SCOPED_TRACE(json ? "--json | head -1" : "| head -1");
    auto device = Emulator();
    RunSetup setup;
    setup.args = {"--tcp", Tcp(*device), file.string()};
    if (json) {
      setup.args.insert(setup.args.begin(), "--json");
    }
    setup.configHome = Config();
    setup.env = {kShortRunWait};
    setup.closeOutAfterFirstLine = true;
    const auto run = RunFlash(setup);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Holds(*device));
    EXPECT_EQ(device->GetCounters().runs, 1u);
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1);
    EXPECT_TRUE(Contains(run.err, "standard output could not be written (Broken pipe)")) << run.err;
  }
}

// The bytes of a trace line's last field.
std::vector<std::uint8_t> Decode(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
      bytes.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i + 2, 2), nullptr, 16)));
      i += 3;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(text[i]));
    }
  }
  return bytes;
}

std::string Hex(const std::uint8_t* data, std::size_t size) {
  std::string out;
  char pair[3];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(pair, sizeof pair, "%02X", data[i]);
    out += pair;
  }
  return out;
}

TEST_F(FieldTest, TheTraceOfACleanRunIsExactlyTheFramesSent) {
  // Three blocks: the loader fills the last six bytes with copies of the
  // file's last byte.
  const auto file = FirmwareOf(RandomBytes(3 * 512 - 6, 5));
  std::vector<std::uint8_t> blocks = image_;
  blocks.insert(blocks.end(), 6, image_.back());
  std::vector<std::string> payloads = {"0001Zx5E2D", "0001Zx5E2D"};
  char address[8];
  for (int block = 0; block < 3; ++block) {
    std::snprintf(address, sizeof address, "%04X", block * 512);
    payloads.push_back(std::string("0001Zp") + address + Hex(blocks.data() + block * 512, 512));
  }
  payloads.push_back("0001Zx5E2D");
  for (int block = 0; block < 3; ++block) {
    std::snprintf(address, sizeof address, "%04X", block * 512);
    payloads.push_back(std::string("0001Zv") + address);
  }
  payloads.push_back("0001ZrC71A");

  // One device, then two sharing the trace file.
  for (const int count : {1, 2}) {
    SCOPED_TRACE(std::to_string(count) + " devices");
    std::vector<std::unique_ptr<sim::Emulator>> devices;
    const fs::path tracePath = dir_ / "trace.txt";
    std::vector<std::string> args = {"--trace", tracePath.string()};
    for (int i = 0; i < count; ++i) {
      devices.push_back(Emulator());
      args.insert(args.end(), {"--tcp", Tcp(*devices.back())});
    }
    args.push_back(file.string());
    const auto run = RunFlash(Setup(args, {kShortRunWait}));
    ASSERT_EQ(run.status, 0) << run.err;

    struct Seen {
      std::vector<std::vector<std::uint8_t>> sent;
      int received = 0;
      int accepted = 0;
    };
    std::map<std::string, Seen> byLink;
    double lastMs = 0;
    std::istringstream lines(Slurp(tracePath));
    const std::regex shape(R"(([0-9]+\.[0-9]{3}) (\S+) (->|<-|=) (.*))");
    for (std::string line; std::getline(lines, line);) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
      const double ms = std::stod(m[1]);
      EXPECT_GE(ms, lastMs) << line;
      lastMs = ms;
      Seen& seen = byLink[m[2]];
      if (m[3] == "->") {
        seen.sent.push_back(Decode(m[4]));
      } else if (m[3] == "<-") {
        const auto reply = Decode(m[4]);
        ASSERT_GE(reply.size(), 7u) << line;
        EXPECT_EQ(reply.front(), link::kReplyStart);
        EXPECT_EQ(reply.back(), link::kCr);
        ++seen.received;
      } else {
        EXPECT_EQ(m[4], "accepted") << line;
        ++seen.accepted;
      }
    }
    ASSERT_EQ(byLink.size(), devices.size());
    for (const auto& device : devices) {
      const Seen& seen = byLink[Tcp(*device)];
      ASSERT_EQ(seen.sent.size(), payloads.size());
      for (std::size_t i = 0; i < payloads.size(); ++i) {
        EXPECT_EQ(seen.sent[i], link::BuildRequest(payloads[i])) << "frame " << i;
      }
      EXPECT_EQ(seen.received, static_cast<int>(payloads.size()));
      EXPECT_EQ(seen.accepted, static_cast<int>(payloads.size()));
    }
  }
}

TEST_F(FieldTest, QuietPrintsOnlyFailuresAndTheFinalLine) {
  const auto file = Firmware(1500);
  auto good = Emulator();
  auto run = RunFlash(Setup({"-q", "--tcp", Tcp(*good), file.string()}, {kShortRunWait}));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Upgrade ok.\n");
  EXPECT_EQ(run.err, "");

  sim::SimConfig other;
  other.device.deviceInfo = "QL481TX-V1";
  auto mismatched = Emulator(other);
  run = RunFlash(Setup({"--quiet", "--tcp", Tcp(*mismatched), file.string()}));
  EXPECT_EQ(run.status, 5);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "Firmware file type error! (the device is \"QL481TX-V1\", the file is for "
            "\"QL480TX-V5\")\n");
}

TEST_F(FieldTest, PortListAndVersion) {
  auto run = RunFlash(Setup({"--list-ports", "--json"}));
  EXPECT_EQ(run.status, 0);
  for (const auto& line : JsonLines(run.out)) {
    EXPECT_EQ(line["event"].toString(), "port");
    EXPECT_TRUE(line["port"].toString().startsWith("/dev/"))
        << line["port"].toString().toStdString();
  }
  run = RunFlash(Setup({"-V"}));
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(std::regex_match(run.out, std::regex("ql480tx-flash [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << run.out;
}

TEST_F(FieldTest, AFlashReadIntoAFileUpgradesAnotherDeviceToTheSameFlash) {
  sim::SimConfig source;
  source.device.initialFlash = RandomBytes(kFlashBytes, 3);
  auto first = Emulator(source);
  const fs::path out = dir_ / "backup.QLB";
  auto run = RunFlash({"--read-flash", out.string(), "--tcp", Tcp(*first)}, Config());
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(first->GetCounters().writes, 0u);
  EXPECT_EQ(first->GetCounters().runs, 0u);
  const std::string bytes = Slurp(out);
  ASSERT_EQ(bytes.size(), 16 + kFlashBytes);
  EXPECT_EQ(bytes.substr(0, 16), "QL480TX-V5      ") << "the device information";
  const auto flash = first->Flash();
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 16, bytes.end()), flash);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 2) << "a temporary file was left";

  auto second = Emulator();  // erased
  run = RunFlash(Setup({"--tcp", Tcp(*second), out.string()}, {kShortRunWait}));
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_TRUE(Contains(run.out, "124 blocks")) << run.out;
  EXPECT_EQ(second->Flash(), first->Flash());

  // An existing file is refused before the device is touched, unless forced.
  const auto connections = first->GetCounters().connections;
  run = RunFlash({"--read-flash", out.string(), "--tcp", Tcp(*first)}, Config());
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(Contains(run.err, "cannot write " + out.string() + ": File exists")) << run.err;
  EXPECT_EQ(first->GetCounters().connections, connections);
  // What a killed run left is cleared away; what a running one holds is not.
  const fs::path killed = dir_ / "backup.QLB.tmp-a1B2c3";
  const fs::path held = dir_ / "backup.QLB.tmp-d4E5f6";
  std::ofstream(killed) << "partial";
  std::ofstream(held) << "in use";
  const int heldFd = ::open(held.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(heldFd, LOCK_EX), 0);
  run = RunFlash({"--read-flash", out.string(), "--force", "--tcp", Tcp(*first)}, Config());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Slurp(out), bytes);
  EXPECT_FALSE(fs::exists(killed));
  EXPECT_TRUE(fs::exists(held));
  ::close(heldFd);
}

TEST_F(FieldTest, VerifyOnlyComparesWithoutWriting) {
  const auto file = FullImage();
  for (const bool flipped : {false, true}) {
    SCOPED_TRACE(flipped ? "one stored bit flipped" : "equal");
    sim::SimConfig config;
    config.device.initialFlash = image_;
    if (flipped) {
      config.device.initialFlash[37 * 512 + 5] ^= 0x08;
    }
    auto device = Emulator(config);
    const auto run = RunFlash({"--verify-only", "--tcp", Tcp(*device), file.string()}, Config());
    EXPECT_EQ(run.status, flipped ? 7 : 0) << run.out << run.err;
    if (flipped) {
      EXPECT_TRUE(Contains(run.err, "Verify error! (block 37, address 4A00, data differs)"))
          << run.err;
      EXPECT_TRUE(Contains(run.err,
                           "the device's flash matches the file in its first 37 of 124 "
                           "blocks and differs at block 37; nothing was written"))
          << run.err;
    } else {
      EXPECT_TRUE(Contains(run.out, "Verify ok.")) << run.out;
      EXPECT_EQ(device->GetCounters().verifies, static_cast<std::size_t>(kBlocks));
    }
    EXPECT_EQ(device->GetCounters().writes, 0u);
    EXPECT_EQ(device->GetCounters().runs, 0u);
    EXPECT_EQ(device->Flash(), config.device.initialFlash);
  }
}

TEST_F(FieldTest, UnreadableLineSettingsAndTheSameLinkTwiceAreUsageErrors) {
  const auto file = Firmware(600);
  sim::SimConfig pty;
  pty.link.type = sim::LinkType::Pty;
  auto serial = Emulator(pty);
  auto tcp = Emulator();
  const fs::path alias = dir_ / "alias";
  fs::create_symlink(serial->SlavePath(), alias);
  const std::string port = std::to_string(tcp->Port());
  const std::vector<std::vector<std::string>> cases = {
      {"--serial", serial->SlavePath(), "--line", "garbage"},
      {"--serial", serial->SlavePath(), "--line", "12345,e,8,1"},
      {"--tcp", "127.0.0.1:" + port, "--tcp", "127.0.0.1:" + port},
      {"--tcp", "127.0.0.1:" + port, "--tcp", "localhost:" + port},
      {"--serial", serial->SlavePath(), "--serial", alias.string()},
  };
  for (auto args : cases) {
    args.push_back(file.string());
    const auto run = RunFlash(args, Config());
    EXPECT_EQ(run.status, 1) << args[1] << " " << args[3] << "\n" << run.err;
    EXPECT_TRUE(Contains(run.err, "Try 'ql480tx-flash --help'.")) << run.err;
  }
  EXPECT_EQ(serial->GetCounters().connections, 0u);
  EXPECT_EQ(tcp->GetCounters().connections, 0u);
  // A line the parser reads is taken.
  const auto run = RunFlash(
      {"--serial", alias.string(), "--line", " 9600 , n , 8 , 1 ", "--connect-only", file.string()},
      Config());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.out, "at  9600 , n , 8 , 1 ")) << run.out;
}

TEST_F(FieldTest, FailuresGoToStandardErrorWithTheirReason) {
  const auto file = Firmware(3000);
  sim::SimConfig refusing;
  refusing.faults.refusedWrites.push_back({2, 5});
  auto device = Emulator(refusing);
  const std::string refused = "127.0.0.1:" + RefusedPort();
  const std::string tty = (dir_ / "ttyNONE").string();
  struct Case {
    std::vector<std::string> link;
    int status;
    std::string error;  // a line of standard error starts with it
  };
  const std::vector<Case> cases = {
      {{"--tcp", refused}, 3, "Connect device error! (" + refused + ": Connection refused)"},
      {{"--tcp", "nonexistent.invalid"}, 3, "Connect device error! (nonexistent.invalid:5003: "},
      {{"--serial", tty}, 3, "Connect device error! (" + tty + ": No such file or directory)"},
      {{"--tcp", Tcp(*device)}, 6, "Program/Download error! (block 2, address 0400, 5 tries)"},
  };
  for (const auto& c : cases) {
    auto args = c.link;
    args.push_back(file.string());
    const auto run = RunFlash(args, Config());
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_TRUE(Contains("\n" + run.err, "\n" + c.error)) << run.err;
    EXPECT_FALSE(Contains(run.out, "error!")) << "results and progress only: " << run.out;
  }
  // The unknown host's reason is the resolver's, whatever it is offline.
  const auto run = RunFlash({"--tcp", "nonexistent.invalid", file.string()}, Config());
  std::smatch m;
  ASSERT_TRUE(std::regex_search(run.err, m, std::regex(R"(nonexistent\.invalid:5003: (.+)\))")));
  EXPECT_FALSE(m[1].str().empty());
}

struct OutcomeCase {
  const char* name;
  std::function<void(sim::SimConfig&)> fault;
  std::vector<std::string> options;  // before the link
  bool withFile;
  int status;
  const char* outcome;
  int signalAfterWrites = 0;
};

TEST_F(FieldTest, EveryOutcomeIsAJsonLineWithItsTime) {
  const auto file = Firmware(3000);
  const std::string refused = "127.0.0.1:" + RefusedPort();
  auto none = [](sim::SimConfig&) {};
  const std::vector<OutcomeCase> cases = {
      {"upgrade ok", none, {}, true, 0, "upgrade_ok"},
      {"usage", none, {"--bogus"}, true, 1, "usage_error"},
      {"file", none, {}, false, 2, "file_error"},
      {"refused", none, {"--tcp", refused}, true, 3, "link_not_opened"},
      {"no handshake",
       [](sim::SimConfig& c) {
         c.faults.dropReply.push_back({sim::CommandKind::Handshake, 0});
       },
       {},
       true,
       4,
       "no_handshake"},
      {"model",
       [](sim::SimConfig& c) { c.device.deviceInfo = "QL481TX-V1"; },
       {},
       true,
       5,
       "model_mismatch"},
      {"program",
       [](sim::SimConfig& c) {
         c.faults.refusedWrites.push_back({1, 5});
       },
       {},
       true,
       6,
       "program_failed"},
      {"verify",
       [](sim::SimConfig& c) {
         c.faults.readbackBitFlips.push_back({1, 3, 0});
       },
       {},
       true,
       7,
       "verify_failed"},
      {"read",
       [](sim::SimConfig& c) {
         c.faults.dropReply.push_back({sim::CommandKind::Verify, 0});
       },
       {"--read-flash", (dir_ / "out.QLB").string()},
       false,
       8,
       "read_failed"},
      {"interrupted", none, {}, true, 130, "interrupted", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimConfig config;
    c.fault(config);
    auto device = Emulator(config);
    RunSetup setup;
    setup.args = {"--json"};
    setup.args.insert(setup.args.end(), c.options.begin(), c.options.end());
    if (std::find(c.options.begin(), c.options.end(), "--tcp") == c.options.end()) {
      setup.args.insert(setup.args.end(), {"--tcp", Tcp(*device)});
    }
    if (c.withFile) {
      setup.args.push_back(file.string());
    } else if (c.status == 2) {
      setup.args.push_back((dir_ / "missing.QLB").string());
    }
    setup.configHome = Config();
    setup.env = {kShortRunWait};
    if (c.signalAfterWrites > 0) {
      setup.during =
          SignalAfterWrites(*device, static_cast<std::size_t>(c.signalAfterWrites), SIGTERM);
    }
    const auto run = RunFlash(setup);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    const auto lines = JsonLines(run.out);
    ASSERT_FALSE(lines.empty());
    double last = 0;
    for (const auto& line : lines) {
      ASSERT_TRUE(line["time"].isDouble()) << c.name;
      EXPECT_GE(line["time"].toDouble(), last);
      last = line["time"].toDouble();
    }
    const QJsonObject& first = lines.front();
    EXPECT_EQ(first["schema"].toInt(), 1);
    if (c.status != 1) {
      EXPECT_EQ(first["event"].toString(), "start");
      EXPECT_FALSE(first["links"].toArray().isEmpty());
    }
    const QJsonObject& result = lines.back();
    EXPECT_EQ(result["event"].toString(), "result");
    EXPECT_EQ(result["status"].toInt(), c.status);
    EXPECT_EQ(result["outcome"].toString(), c.outcome);
    if (c.status == 130) {
      EXPECT_TRUE(result["holds"].toString().startsWith("programming stopped after"));
    } else if (c.status != 0) {
      EXPECT_FALSE((result["reason"].toString() + result["message"].toString()).isEmpty());
      if (c.status == 8) {
        // A read speaks of reading, not of a comparison.
        const QJsonObject& failure = lines[lines.size() - 2];
        EXPECT_EQ(failure["text"].toString(), "Read error!") << run.out;
      }
    } else {
      bool countdown = false;
      for (const auto& line : lines) {
        countdown = countdown || line["event"].toString() == "countdown";
      }
      EXPECT_TRUE(countdown) << "the wait after the run command counts down";
    }
  }
  EXPECT_FALSE(fs::exists(dir_ / "out.QLB"));
}

// A terminal as far as the status rows need one: printable characters, CR,
// LF, "ESC [ n F" (to the start of the row n up) and "ESC [ J" (clear to
// the end of the screen), wrapping at the last column. The screen grows
// downwards without scrolling.
class Screen {
 public:
  explicit Screen(int width) : width_(width), rows_(1) {}

  void Feed(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const auto c = static_cast<unsigned char>(bytes[i]);
      if (c == 0x1B && i + 1 < bytes.size() && bytes[i + 1] == '[') {
        std::size_t j = i + 2;
        int n = 0;
        bool given = false;
        while (j < bytes.size() && std::isdigit(static_cast<unsigned char>(bytes[j]))) {
          n = n * 10 + (bytes[j++] - '0');
          given = true;
        }
        const char final = j < bytes.size() ? bytes[j] : '\0';
        if (final == 'F') {
          row_ = std::max(0, row_ - (given ? n : 1));
          col_ = 0;
          pending_ = false;
        } else if (final == 'J') {
          rows_[static_cast<std::size_t>(row_)].resize(static_cast<std::size_t>(col_));
          rows_.resize(static_cast<std::size_t>(row_) + 1);
        } else {
          ADD_FAILURE() << "unexpected escape sequence ending in " << final;
        }
        i = j;
      } else if (c == '\r') {
        col_ = 0;
        pending_ = false;
      } else if (c == '\n') {
        Down();
        pending_ = false;
      } else if (c >= 0x80 && c < 0xC0) {
        rows_[static_cast<std::size_t>(row_)].back() += static_cast<char>(c);
      } else {
        if (pending_) {
          wrapped_.push_back(Row(row_));
          Down();
          col_ = 0;
          pending_ = false;
        }
        auto& cells = rows_[static_cast<std::size_t>(row_)];
        if (cells.size() <= static_cast<std::size_t>(col_)) {
          cells.resize(static_cast<std::size_t>(col_) + 1, " ");
        }
        cells[static_cast<std::size_t>(col_)] = std::string(1, static_cast<char>(c));
        if (++col_ == width_) {
          col_ = width_ - 1;
          pending_ = true;
        }
      }
    }
  }

  // The rows holding anything, blanks at their ends dropped.
  std::vector<std::string> Rows() const {
    std::vector<std::string> rows;
    for (int r = 0; r < static_cast<int>(rows_.size()); ++r) {
      rows.push_back(Row(r));
    }
    while (!rows.empty() && rows.back().empty()) {
      rows.pop_back();
    }
    return rows;
  }

  // The rows that ran past the last column.
  const std::vector<std::string>& wrapped() const { return wrapped_; }

 private:
  void Down() {
    ++row_;
    if (rows_.size() <= static_cast<std::size_t>(row_)) {
      rows_.resize(static_cast<std::size_t>(row_) + 1);
    }
  }
  std::string Row(int r) const {
    std::string text;
    for (const auto& cell : rows_[static_cast<std::size_t>(r)]) {
      text += cell;
    }
    while (!text.empty() && text.back() == ' ') {
      text.pop_back();
    }
    return text;
  }

  int width_;
  std::vector<std::vector<std::string>> rows_;
  int row_ = 0;
  int col_ = 0;
  bool pending_ = false;
  std::vector<std::string> wrapped_;
};

bool IsStatusRow(const std::string& row) {
  return Contains(row, "program ") || Contains(row, "verify  ") || Contains(row, "  [#") ||
         Contains(row, "  [.") || Contains(row, "blocks/s") ||
         Contains(row, "for the device to start");
}

TEST_F(FieldTest, StatusRowsOnASixtyColumnTerminalLeaveNoStaleRows) {
  const auto file = FullImage();
  for (const int devices : {1, 2}) {
    SCOPED_TRACE(std::to_string(devices) + " devices");
    std::vector<std::unique_ptr<sim::Emulator>> emulators;
    RunSetup setup;
    for (int i = 0; i < devices; ++i) {
      emulators.push_back(Emulator());
      setup.args.insert(setup.args.end(), {"--tcp", Tcp(*emulators.back())});
    }
    setup.args.push_back(file.string());
    setup.configHome = Config();
    setup.env = {"QL480TX_FLASH_RUN_WAIT_MS=2500"};
    setup.terminal = winsize{24, 60, 0, 0};
    const auto run = RunFlash(setup);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "blocks/s")) << "status rows were drawn";
    EXPECT_TRUE(std::regex_search(run.out, std::regex("waiting [0-9] s for the device to start")));

    Screen screen(60);
    screen.Feed(run.out);
    for (const auto& row : screen.wrapped()) {
      EXPECT_FALSE(IsStatusRow(row)) << "a status row ran past the width: " << row;
    }
    const auto rows = screen.Rows();
    std::map<std::string, int> seen;
    for (const auto& row : rows) {
      EXPECT_FALSE(IsStatusRow(row)) << "stale row: " << row;
      // (The summary of several devices begins with an empty line.)
      EXPECT_TRUE(!row.empty() || devices > 1) << "a hole where a row was erased";
      ++seen[row];
    }
    const std::string tag = devices > 1 ? "[" + Tcp(*emulators[0]) + "] " : "";
    for (const char* message :
         {"Connecting device ...", "Connect device ok.", "Programming ...", "Program/Download ok.",
          "Verifying ...", "Verify ok.", "Upgrading ...", "Upgrade ok."}) {
      EXPECT_EQ(seen[tag + message], 1) << message;
    }
    for (const auto& emulator : emulators) {
      EXPECT_TRUE(Holds(*emulator));
    }
  }
}

}  // namespace
}  // namespace ql::flash
