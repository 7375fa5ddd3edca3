// ql480tx-flash as a script or a production line runs it: against emulated
// devices on 127.0.0.1, one or several at once, with every exit status and
// the JSON lines a wrapping program reads.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QJsonObject>
#include <QString>
#include <chrono>
#include <functional>
#include <optional>

#include "program_fixture.h"

namespace ql::flash {
namespace {

namespace fs = std::filesystem;

TEST_F(FlashProgramTest, UpgradesADeviceAndReportsEveryPhaseAsJson) {
  const auto file = Firmware(5000);  // 10 blocks
  auto device = Emulator();
  const auto run = RunFlash({"--json", "--tcp", Tcp(*device), file.string()}, Config());
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_TRUE(Holds(*device));
  EXPECT_EQ(device->GetCounters().runs, 1u);

  const auto lines = JsonLines(run.out);
  ASSERT_FALSE(lines.empty());
  std::vector<int> messages;
  int programEnd = -1;
  int verifyEnd = -1;
  EXPECT_EQ(lines.front()["event"].toString(), "start");
  for (const auto& line : lines) {
    const QString event = line["event"].toString();
    if (event == "start") {
      continue;
    }
    EXPECT_EQ(line["device"].toString().toStdString(), Tcp(*device));
    if (event == "message") {
      messages.push_back(line["number"].toInt());
    } else if (event == "phase_end") {
      EXPECT_EQ(line["total"].toInt(), 10);
      (line["phase"].toString() == "program" ? programEnd : verifyEnd) = line["done"].toInt();
    }
  }
  EXPECT_EQ(messages, (std::vector<int>{10, 12, 14, 16, 17, 19, 20, 21}));
  EXPECT_EQ(programEnd, 10);
  EXPECT_EQ(verifyEnd, 10);
  const QJsonObject& result = lines.back();
  EXPECT_EQ(result["event"].toString(), "result");
  EXPECT_EQ(result["status"].toInt(), 0);
  EXPECT_EQ(result["outcome"].toString(), "upgrade_ok");
  EXPECT_EQ(result["blocks_programmed"].toInt(), 10);
  EXPECT_EQ(result["blocks_verified"].toInt(), 10);
  // The window's settings are never written.
  EXPECT_TRUE(fs::is_empty(Config()));
}

TEST_F(FlashProgramTest, AFileLongerThanTheDeviceTakesIsSaidBeforeAnyDevice) {
  const auto file = Firmware(124 * 512 + 1000);
  auto device = Emulator();
  const auto json =
      RunFlash({"--json", "--connect-only", "--tcp", Tcp(*device), file.string()}, Config());
  EXPECT_EQ(json.status, 0) << json.out << json.err;
  const auto lines = JsonLines(json.out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1]["event"].toString(), "warning");
  EXPECT_TRUE(lines[1]["reason"].toString().endsWith("the last 1000 bytes are not written"))
      << json.out;
  const auto plain = RunFlash({"--connect-only", "--tcp", Tcp(*device), file.string()}, Config());
  EXPECT_EQ(plain.status, 0);
  EXPECT_NE(plain.err.find("warning: the file holds 64488 image bytes"), std::string::npos)
      << plain.err;
}

TEST_F(FlashProgramTest, ExitStatusTellsHowFarEachDeviceGot) {
  const auto file = Firmware(3000);
  struct Case {
    const char* name;
    std::function<void(sim::SimConfig&)> fault;
    std::vector<std::string> extra;
    int status;
  };
  const std::vector<Case> cases = {
      {"connected", [](sim::SimConfig&) {}, {"--connect-only"}, 0},
      {"no handshake reply",
       [](sim::SimConfig& c) {
         c.faults.dropReply.push_back({sim::CommandKind::Handshake, 0});
       },
       {},
       4},
      {"other model", [](sim::SimConfig& c) { c.device.deviceInfo = "QL481TX-V1"; }, {}, 5},
      {"block refused five times",
       [](sim::SimConfig& c) {
         c.faults.refusedWrites.push_back({2, 5});
       },
       {},
       6},
      {"read-back differs",
       [](sim::SimConfig& c) {
         c.faults.readbackBitFlips.push_back({1, 3, 0});
       },
       {},
       7},
      {"other device id", [](sim::SimConfig&) {}, {"--id", "0002"}, 4},
  };
  for (const auto& c : cases) {
    sim::SimConfig config;
    c.fault(config);
    auto device = Emulator(config);
    std::vector<std::string> args = {"--tcp", Tcp(*device)};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    args.push_back(file.string());
    const auto run = RunFlash(args, Config());
    EXPECT_EQ(run.status, c.status) << c.name << "\n" << run.out << run.err;
    EXPECT_EQ(device->GetCounters().runs, 0u) << c.name;
  }
}

TEST_F(FlashProgramTest, LinkThatCannotBeOpenedIsStatusThree) {
  const auto file = Firmware(600);
  // A port nobody listens on: bound, then closed again.
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  close(s);
  const std::string port = std::to_string(ntohs(address.sin_port));

  EXPECT_EQ(RunFlash({"--tcp", "127.0.0.1:" + port, file.string()}, Config()).status, 3);
  EXPECT_EQ(RunFlash({"--serial", (dir_ / "no-such-tty").string(), file.string()}, Config()).status,
            3);
}

// Anything but a regular file is refused at once: a FIFO with no writer used
// to hold the program in its open for ever.
TEST_F(FlashProgramTest, UnreadableFileIsReportedBeforeAnyDeviceIsTouched) {
  auto device = Emulator();
  const fs::path fifo = dir_ / "fifo.QLB";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  fs::create_symlink(fifo, dir_ / "link-to-fifo.QLB");
  for (const fs::path& file :
       {dir_ / "missing.QLB", dir_, fifo, dir_ / "link-to-fifo.QLB", fs::path("/dev/zero")}) {
    // A program held in its open would be ended at the runner's limit, with
    // another status.
    const auto run = RunFlash({"--tcp", Tcp(*device), file.string()}, Config());
    EXPECT_EQ(run.status, 2) << file;
    EXPECT_NE(run.err.find("cannot read"), std::string::npos) << run.err;
  }
  EXPECT_EQ(device->GetCounters().connections, 0u);
}

// A settings file that is a FIFO, or a link to a zero device, is no store:
// the program starts at once with the default settings and leaves it alone.
TEST_F(FlashProgramTest, SettingsFileThatIsNoRegularFileGivesDefaults) {
  const auto file = Firmware(600);
  auto device = Emulator();
  // As root a zero device of the test's own, so that a program that wrote
  // through the link could not replace the system's /dev/zero.
  fs::path zero = "/dev/zero";
  if (geteuid() == 0) {
    zero = dir_ / "zero";
    ASSERT_EQ(mknod(zero.c_str(), S_IFCHR | 0666, makedev(1, 5)), 0);
  }
  const fs::path ini = Config() / "KORVA" / "QL480TX_FirmwareUpgrade.ini";
  fs::create_directories(ini.parent_path());
  for (const bool fifo : {true, false}) {
    SCOPED_TRACE(fifo ? "FIFO" : "link to a zero device");
    fs::remove(ini);
    if (fifo) {
      ASSERT_EQ(mkfifo(ini.c_str(), 0600), 0);
    } else {
      fs::create_symlink(zero, ini);
    }
    const auto run = RunFlash({"--connect-only", "--tcp", Tcp(*device), file.string()}, Config(),
                              std::chrono::seconds(20));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    // English, the default language.
    EXPECT_NE(run.out.find("Connect device ok."), std::string::npos) << run.out;
    EXPECT_EQ(fifo ? fs::is_fifo(fs::symlink_status(ini)) : fs::is_symlink(fs::symlink_status(ini)),
              true);
  }
}

TEST_F(FlashProgramTest, UsageErrorsAreStatusOne) {
  const auto file = Firmware(600);
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"--id", "1", file.string()},
                                             {"--bogus\x1b]0;x\a\xc2\x9b"
                                              "2J\x9b",
                                              file.string()}}) {
    const auto run = RunFlash(args, Config());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("--help"), std::string::npos);
    // No escape, bell or C1 control reaches the terminal, in UTF-8 or not.
    EXPECT_EQ(run.err.find_first_of("\x1b\a\x9b"), std::string::npos) << run.err;
  }
  // No link given and none stored: the defaults would open a port nobody
  // chose, so nothing is opened at all.
  const auto run = RunFlash({"--connect-only", file.string()}, Config());
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_NE(run.err.find("--serial PORT or --tcp HOST:PORT"), std::string::npos) << run.err;
  EXPECT_EQ(run.out.find("Connect"), std::string::npos) << run.out;
}

TEST_F(FlashProgramTest, StoredLinkIsUsedAndLeftAsItWas) {
  const auto file = Firmware(600);
  auto device = Emulator();
  fs::create_directories(Config() / "KORVA");
  const fs::path ini = Config() / "KORVA" / "QL480TX_FirmwareUpgrade.ini";
  const std::string stored =
      "[General]\nTYPE=1\nNetIP=127.0.0.1\nNetPort=" + std::to_string(device->Port()) +
      "\nLanguageFlag=ChineseGB\n";
  std::ofstream(ini) << stored;

  const auto run = RunFlash({"--connect-only", file.string()}, Config());
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  // Messages in the stored language.
  EXPECT_NE(run.out.find("连线装置完成."), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("(link stored by the window)"), std::string::npos) << run.out;
  std::ifstream in(ini);
  const std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(after, stored);
}

TEST_F(FlashProgramTest, SerialLinkOverAPseudoTerminal) {
  const auto file = Firmware(600);
  sim::SimConfig config;
  config.link.type = sim::LinkType::Pty;
  auto device = Emulator(config);
  const auto run = RunFlash({"--serial", device->SlavePath(), "--line", "115200,e,8,1",
                             "--connect-only", "--lang", "zh-TW", file.string()},
                            Config());
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("連線裝置完成."), std::string::npos) << run.out;
}

TEST_F(FlashProgramTest, SeveralDevicesEndWithTheHighestStatusAndASummary) {
  const auto file = Firmware(600);
  auto good = Emulator();
  sim::SimConfig other;
  other.device.deviceInfo = "QL481TX-V1";
  auto mismatched = Emulator(other);
  const auto run = RunFlash(
      {"--connect-only", "--tcp", Tcp(*good), "--tcp", Tcp(*mismatched), file.string()}, Config());
  EXPECT_EQ(run.status, 5);
  EXPECT_NE(run.out.find("[" + Tcp(*good) + "] Connect device ok."), std::string::npos) << run.out;
  // A failure is told on standard error, with its reason.
  EXPECT_NE(run.err.find("[" + Tcp(*mismatched) +
                         "] Firmware file type error! (the device is \"QL481TX-V1\", the file is "
                         "for \"QL480TX-V5\")"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.out.find("device"), std::string::npos);
  EXPECT_NE(run.out.find("last message"), std::string::npos);
}

// How long many devices take against one is a benchmark (fleet_bench); here
// the devices' own records show that their upgrades overlapped: every device
// had its link opened and its first request before any of them was told to
// run.
TEST_F(FlashProgramTest, FourDevicesAreUpgradedAtOnce) {
  const auto file = Firmware(20000);  // 40 blocks
  std::vector<std::unique_ptr<sim::Emulator>> devices;
  std::vector<std::string> args;
  for (int i = 0; i < 4; ++i) {
    devices.push_back(Emulator());
    args.push_back("--tcp");
    args.push_back(Tcp(*devices.back()));
  }
  args.push_back(file.string());
  const auto four = RunFlash(args, Config());
  ASSERT_EQ(four.status, 0) << four.out << four.err;
  std::optional<std::chrono::steady_clock::time_point> lastFirstRequest;
  std::optional<std::chrono::steady_clock::time_point> firstRun;
  for (const auto& device : devices) {
    EXPECT_TRUE(Holds(*device));
    for (const sim::TimelineEvent& event : device->Timeline()) {
      if (event.kind == sim::TimelineKind::Request) {
        lastFirstRequest = std::max(lastFirstRequest.value_or(event.at), event.at);
        break;
      }
    }
    for (const sim::TimelineEvent& event : device->Timeline()) {
      if (event.kind == sim::TimelineKind::Reply && event.detail == "run") {
        firstRun = std::min(firstRun.value_or(event.at), event.at);
      }
    }
  }
  ASSERT_TRUE(lastFirstRequest && firstRun);
  EXPECT_LT(*lastFirstRequest, *firstRun) << "one device was upgraded after another";
}

}  // namespace
}  // namespace ql::flash
