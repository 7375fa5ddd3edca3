// ql480tx-flash as a script or a production line runs it: against emulated
// devices on 127.0.0.1, one or several at once, with every exit status and
// the JSON lines a wrapping program reads.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "sim/emulator.h"

extern char** environ;

namespace ql::flash {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct ProgramRun {
  int status = -1;
  std::string out;
  std::string err;
  double seconds = 0;
};

// Runs the program with `args`, XDG_CONFIG_HOME set to `configHome`, and
// collects its output; kills it after `limit`.
ProgramRun RunFlash(const std::vector<std::string>& args, const fs::path& configHome,
                    std::chrono::seconds limit = std::chrono::seconds(40)) {
  int outPipe[2];
  int errPipe[2];
  EXPECT_EQ(pipe(outPipe), 0);
  EXPECT_EQ(pipe(errPipe), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, outPipe[0]);
  posix_spawn_file_actions_addclose(&actions, errPipe[0]);

  std::vector<std::string> argv = {QL_FLASH_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> argp;
  for (auto& a : argv) {
    argp.push_back(a.data());
  }
  argp.push_back(nullptr);
  std::vector<std::string> env = {"XDG_CONFIG_HOME=" + configHome.string(),
                                  "HOME=" + configHome.string(), "PATH=/usr/bin:/bin"};
  std::vector<char*> envp;
  for (auto& e : env) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);

  ProgramRun run;
  const auto start = Clock::now();
  pid_t pid = -1;
  const int spawned =
      posix_spawn(&pid, QL_FLASH_PROGRAM, &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);
  EXPECT_EQ(spawned, 0);

  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  while (open > 0 && Clock::now() - start < limit) {
    if (poll(fds, 2, 100) <= 0) {
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP)) != 0) {
        char buffer[4096];
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n <= 0) {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open;
        } else {
          (i == 0 ? run.out : run.err).append(buffer, static_cast<std::size_t>(n));
        }
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) {
      close(fd.fd);
      kill(pid, SIGKILL);
      ADD_FAILURE() << "ql480tx-flash did not end within its limit";
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return run;
}

std::vector<QJsonObject> JsonLines(const std::string& out) {
  std::vector<QJsonObject> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    QJsonParseError error;
    const auto doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << line;
    EXPECT_TRUE(doc.isObject()) << line;
    lines.push_back(doc.object());
  }
  return lines;
}

class FlashProgramTest : public ::testing::Test {
 protected:
  FlashProgramTest() {
    std::random_device seed;
    dir_ = fs::temp_directory_path() / ("ql-flash-test-" + std::to_string(seed()));
    fs::create_directories(dir_ / "config");
  }
  ~FlashProgramTest() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // A firmware file of `imageBytes` bytes after the header.
  fs::path Firmware(std::size_t imageBytes, std::string header = "QL480TX-V5") {
    header.resize(16, '\0');
    image_.resize(imageBytes);
    std::mt19937 random(static_cast<unsigned>(imageBytes));
    for (auto& b : image_) {
      b = static_cast<std::uint8_t>(random());
    }
    const fs::path path = dir_ / "image.QLB";
    std::ofstream out(path, std::ios::binary);
    out.write(header.data(), 16);
    out.write(reinterpret_cast<const char*>(image_.data()),
              static_cast<std::streamsize>(image_.size()));
    return path;
  }

  std::unique_ptr<sim::Emulator> Emulator(sim::SimConfig config = {}) {
    config.device.rebootSilence = std::chrono::milliseconds(200);
    auto emulator = std::make_unique<sim::Emulator>(config);
    std::string error;
    EXPECT_TRUE(emulator->Start(error)) << error;
    return emulator;
  }

  static std::string Tcp(const sim::Emulator& emulator) {
    return "127.0.0.1:" + std::to_string(emulator.Port());
  }

  // Whether the device's flash starts with the image (the last block is
  // padded as the block table pads it, so compare the file's bytes only).
  bool Holds(const sim::Emulator& emulator) const {
    const auto flash = emulator.Flash();
    return flash.size() >= image_.size() && std::equal(image_.begin(), image_.end(), flash.begin());
  }

  fs::path Config() const { return dir_ / "config"; }

  fs::path dir_;
  std::vector<std::uint8_t> image_;
};

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
  for (const auto& line : lines) {
    EXPECT_EQ(line["device"].toString().toStdString(), Tcp(*device));
    const QString event = line["event"].toString();
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

TEST_F(FlashProgramTest, UnreadableFileIsReportedBeforeAnyDeviceIsTouched) {
  auto device = Emulator();
  for (const fs::path& file : {dir_ / "missing.QLB", dir_}) {
    const auto run = RunFlash({"--tcp", Tcp(*device), file.string()}, Config());
    EXPECT_EQ(run.status, 2) << file;
    EXPECT_NE(run.err.find("cannot read"), std::string::npos) << run.err;
  }
  EXPECT_EQ(device->GetCounters().connections, 0u);
}

TEST_F(FlashProgramTest, UsageErrorsAreStatusOne) {
  const auto file = Firmware(600);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"--id", "1", file.string()}, {"--bogus", file.string()}}) {
    const auto run = RunFlash(args, Config());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("--help"), std::string::npos);
  }
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
  EXPECT_NE(run.out.find("[" + Tcp(*mismatched) + "] Firmware file type error!"),
            std::string::npos);
  EXPECT_NE(run.out.find("device"), std::string::npos);
  EXPECT_NE(run.out.find("last message"), std::string::npos);
}

TEST_F(FlashProgramTest, FourDevicesAtOnceTakeLittleLongerThanOne) {
  const auto file = Firmware(20000);  // 40 blocks
  auto single = Emulator();
  const auto one = RunFlash({"--tcp", Tcp(*single), file.string()}, Config());
  ASSERT_EQ(one.status, 0) << one.out << one.err;

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
  for (const auto& device : devices) {
    EXPECT_TRUE(Holds(*device));
  }
  // Each device waits on its own link; the seven-second wait after the run
  // command dominates and overlaps.
  EXPECT_LT(four.seconds, 1.5 * one.seconds) << one.seconds << " s for one";
}

}  // namespace
}  // namespace ql::flash
