// The ql480tx-sim program itself: the line it prints, an exchange through
// the utility's link layer, and the ways it stops and saves its flash.
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <optional>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "link/clock.h"
#include "link/command_exchange.h"
#include "link/link.h"
#include "sim/flash_file.h"
#include "sim/sim_config.h"
#include "sim_test_util.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace ql::sim {
namespace {

using namespace std::chrono_literals;
using testing_support::BlockHex;
using testing_support::Bytes;
using testing_support::Pattern;
using testing_support::TempFolder;
using testing_support::WritePayload;

// ql480tx-sim run as a child process, its standard input on a pipe and its
// log in a file. The waits are generous: only a failing test waits them out.
class SimProcess : public testing_support::ChildProcess {
 public:
  SimProcess(const std::vector<std::string>& args, const std::string& logPath)
      : ChildProcess(
            {.program = QL_SIM_PROGRAM, .args = args, .input = true, .errorFile = logPath}) {
    EXPECT_TRUE(Started()) << Error();
  }

  std::optional<std::string> ReadLine() { return ChildProcess::ReadLine(30s); }

  // The exit code once it has exited by itself (128 + the signal that ended
  // it), or nullopt after the timeout.
  std::optional<int> WaitExit() {
    const auto ended = Wait(30s);
    if (!ended) {
      return std::nullopt;
    }
    return ended->signal != 0 ? 128 + ended->signal : ended->code;
  }
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The utility's link and exchange to the running program.
struct UtilityLink {
  explicit UtilityLink(const link::LinkSettings& settings) : transport(link::OpenLink(settings)) {
    EXPECT_NE(transport, nullptr);
    if (transport) {
      exchange = std::make_unique<link::CommandExchange>(*transport, clock);
    }
  }
  bool Exchange(const std::string& payload) {
    return exchange && exchange->ExchangeCommand(payload);
  }

  link::SystemClock clock;
  std::unique_ptr<link::Transport> transport;
  std::unique_ptr<link::CommandExchange> exchange;
};

link::LinkSettings TcpSettings(const std::string& listeningLine) {
  std::smatch match;
  const std::regex pattern("listening 127\\.0\\.0\\.1:([0-9]+)");
  EXPECT_TRUE(std::regex_match(listeningLine, match, pattern)) << listeningLine;
  link::LinkSettings settings;
  settings.linkKind = link::LinkKind::Tcp;
  settings.netIp = "127.0.0.1";
  settings.netPort = match.size() > 1 ? match[1].str() : "0";
  return settings;
}

TEST(ProgramTest, ServesTcpOnAFreePortAndSavesTheFlashOnSigterm) {
  const TempFolder temp;
  const std::string folder = temp.path();
  SimProcess sim(
      {"--tcp", "127.0.0.1:0", "--flash-out", folder + "/flash.bin", "--reply-times", "--verbose"},
      folder + "/log");
  const auto listening = sim.ReadLine();
  ASSERT_TRUE(listening);
  const Bytes data = Pattern(30);
  {
    UtilityLink utility(TcpSettings(*listening));
    EXPECT_TRUE(utility.Exchange("0001Zx5E2D"));
    EXPECT_TRUE(utility.Exchange(WritePayload("0001", 4, data)));
  }
  // Each request's first byte comes before its reply's CR, and that before
  // the next request.
  long long previous = 0;
  int number = 0;
  for (const char* kind : {"handshake", "write"}) {
    ++number;
    for (const std::string& expected :
         {"request " + std::to_string(number), "reply " + std::to_string(number) + " " + kind}) {
      const auto line = sim.ReadLine();
      ASSERT_TRUE(line) << expected;
      std::smatch match;
      ASSERT_TRUE(std::regex_match(*line, match, std::regex(expected + " ([0-9]+)"))) << *line;
      const long long ns = std::stoll(match[1].str());
      EXPECT_LT(previous, ns) << *line;
      previous = ns;
    }
  }
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.WaitExit(), 0);

  const FlashImage flash = LoadFlashFile(folder + "/flash.bin");
  ASSERT_EQ(flash.bytes.size(), kFlashSize) << flash.error;
  EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.bytes.begin() + 4 * kBlockSize));
  const std::string log = ReadFile(folder + "/log");
  EXPECT_NE(log.find("rx 0001Zx5E2D"), std::string::npos) << log;
  EXPECT_NE(log.find("tx #1 <03>0001ZxQL480TX-V5"), std::string::npos) << log;
}

TEST(ProgramTest, ServesAPtyBehindALinkFromAGivenImageAndStopsAtEndOfInput) {
  const TempFolder temp;
  const std::string folder = temp.path();
  Bytes image = Pattern(40);
  image.insert(image.begin(), kBlockSize, 0x00);  // block 0 zeroed, block 1 the pattern
  std::ofstream(folder + "/in.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  const std::string linkPath = folder + "/ttyQL";
  SimProcess sim({"--pty", "--link", linkPath, "--flash-in", folder + "/in.bin", "--quit-on-eof"},
                 folder + "/log");
  const auto ptyLine = sim.ReadLine();
  ASSERT_TRUE(ptyLine);
  EXPECT_TRUE(std::regex_match(*ptyLine, std::regex("pty /dev/pts/[0-9]+"))) << *ptyLine;
  EXPECT_EQ(sim.ReadLine(), "link " + linkPath);
  {
    link::LinkSettings settings;
    settings.comPortName = linkPath;
    UtilityLink utility(settings);
    ASSERT_TRUE(utility.Exchange("0001Zv0200"));
    EXPECT_EQ(utility.exchange->ResponseText().substr(7, 1024), BlockHex(Pattern(40)));
  }
  sim.CloseInput();
  EXPECT_EQ(sim.WaitExit(), 0);
  struct stat gone {};
  EXPECT_NE(::lstat(linkPath.c_str(), &gone), 0);
}

TEST(ProgramTest, QuitsAfterTheRunCommandWithTheFlashSaved) {
  const TempFolder temp;
  const std::string folder = temp.path();
  SimProcess sim({"--tcp", "127.0.0.1:0", "--quit-after-run", "--flash-out", folder + "/flash.bin"},
                 folder + "/log");
  const auto listening = sim.ReadLine();
  ASSERT_TRUE(listening);
  const Bytes data = Pattern(50);
  UtilityLink utility(TcpSettings(*listening));
  EXPECT_TRUE(utility.Exchange(WritePayload("0001", 0, data)));
  EXPECT_TRUE(utility.Exchange("0001ZrC71A"));
  EXPECT_EQ(sim.WaitExit(), 0);
  const FlashImage flash = LoadFlashFile(folder + "/flash.bin");
  ASSERT_EQ(flash.bytes.size(), kFlashSize) << flash.error;
  EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.bytes.begin()));
}

TEST(ProgramTest, HelpAndBadOptions) {
  const TempFolder temp;
  const std::string folder = temp.path();
  {
    SimProcess sim({"--help"}, folder + "/log");
    std::string help;
    while (const auto line = sim.ReadLine()) {
      help += *line + "\n";
    }
    EXPECT_EQ(sim.WaitExit(), 0);
    for (const char* option : {"--tcp", "--pty", "--link", "--late-reply", "--refuse-write",
                               "--pace", "--reply-times"}) {
      EXPECT_NE(help.find(option), std::string::npos) << option;
    }
  }
  SimProcess bad({"--late-reply", "write"}, folder + "/log");
  EXPECT_EQ(bad.WaitExit(), 2);
  EXPECT_NE(ReadFile(folder + "/log").find("bad value for --late-reply"), std::string::npos);
}

}  // namespace
}  // namespace ql::sim
