// ql480tx-flash and the files it is given, against emulated devices on
// 127.0.0.1: the firmware file read once at the start, so that a file
// changed while a device is upgraded changes nothing the device receives; a
// file with no image refused; a file name that is not UTF-8 kept in JSON
// lines that parse; one file named for two uses refused;
// --read-flash --force replacing only a file or a link; and the station log:
// refused before any device is touched when it cannot be appended to, its
// units numbered on across runs.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <functional>

#include "program_fixture.h"

namespace ql::flash {
namespace {

namespace fs = std::filesystem;

// The test hook that shortens the program's wait after the run command.
const std::string kShortRunWait = "QL480TX_FLASH_RUN_WAIT_MS=300";

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class FileTest : public FlashProgramTest {
 protected:
  // A device that calls `change` when the first request (the handshake)
  // reaches it, before it answers. The program has read the file before it
  // sent anything, and loads the image only after this answer.
  std::unique_ptr<sim::Emulator> DeviceChangingTheFile(std::function<void()> change) {
    sim::SimConfig config;
    config.device.rebootSilence = std::chrono::milliseconds(200);
    sim::EmulatorHooks hooks;
    hooks.requestReceived = [change = std::move(change)](const sim::RequestRecord& request) {
      if (request.number == 1) {
        change();
      }
    };
    auto emulator = std::make_unique<sim::Emulator>(config, std::move(hooks));
    std::string error;
    EXPECT_TRUE(emulator->Start(error)) << error;
    return emulator;
  }

  RunSetup Setup(std::vector<std::string> args) const {
    RunSetup setup;
    setup.args = std::move(args);
    setup.configHome = Config();
    setup.env = {kShortRunWait};
    return setup;
  }
};

TEST_F(FileTest, AFileChangedAfterTheStartChangesNothingTheDeviceReceives) {
  const struct {
    const char* name;
    std::function<void(const fs::path&)> change;
  } cases[] = {
      {"truncated to nothing", [](const fs::path& file) { fs::resize_file(file, 0); }},
      {"copied over by the next release",
       [](const fs::path& file) {
         WriteBytes(file, std::string("QL480TX-V5 2.00", 16) + std::string(9000, '\x5A'));
       }},
      {"another model's file renamed over it",
       [](const fs::path& file) {
         const fs::path other = file.parent_path() / "other.QLB";
         WriteBytes(other, std::string("QL481TX-V1\0\0\0\0\0\0", 16) + std::string(3000, '\x33'));
         fs::rename(other, file);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = Firmware(5000);  // 10 blocks
    const std::string before = Slurp(file);
    auto device = DeviceChangingTheFile([&c, file] { c.change(file); });
    const auto run = RunFlash(Setup({"--json", "--tcp", Tcp(*device), file.string()}));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(Slurp(file), before) << "the file was changed during the run";
    EXPECT_TRUE(Holds(*device));
    EXPECT_EQ(device->GetCounters().writes, 10u);
    EXPECT_EQ(device->GetCounters().runs, 1u);
    const auto lines = JsonLines(run.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front()["blocks"].toInt(), 10);
    EXPECT_EQ(lines.back()["outcome"].toString(), "upgrade_ok");
  }
}

// A file name is bytes, not necessarily UTF-8: the JSON lines that name it
// must still parse, with the bytes that are not UTF-8 replaced.
TEST_F(FileTest, AFileNameThatIsNotUtf8StillGivesLinesThatParse) {
  const fs::path named = dir_ / "fw\xff\xfe.QLB";
  fs::rename(Firmware(600), named);
  auto device = Emulator();
  const auto run =
      RunFlash(Setup({"--json", "--connect-only", "--tcp", Tcp(*device), named.string()}));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(Contains(run.out, "\xff")) << run.out;
  const auto lines = JsonLines(run.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines.front()["file"].toString().endsWith(QString::fromUtf8("fw\uFFFD\uFFFD.QLB")))
      << run.out;
  EXPECT_EQ(lines.back()["outcome"].toString(), "connect_ok");
}

// The trace would empty the firmware file before it is written to the
// device, or the flash read would be put over the trace.
TEST_F(FileTest, OneFileNamedForTwoUsesIsAUsageError) {
  const fs::path file = Firmware(600);
  const std::string before = Slurp(file);
  fs::create_symlink(file, dir_ / "link.QLB");
  fs::create_hard_link(file, dir_ / "hard.QLB");
  const fs::path out = dir_ / "out.QLB";
  const fs::path trace = dir_ / "trace.txt";
  WriteBytes(trace, "an older trace");
  fs::create_symlink(trace, dir_ / "trace-link.txt");
  auto device = Emulator();
  const std::string link = Tcp(*device);
  const std::vector<std::vector<std::string>> cases = {
      {"--trace", file.string(), "--tcp", link, file.string()},
      {"--trace", (dir_ / "link.QLB").string(), "--tcp", link, file.string()},
      {"--trace", (dir_ / "hard.QLB").string(), "--tcp", link, file.string()},
      {"--trace", file.string(), "--tcp", link, (dir_ / "link.QLB").string()},
      {"--read-flash", out.string(), "--trace", out.string(), "--tcp", link},
      {"--read-flash", trace.string(), "--force", "--trace", (dir_ / "trace-link.txt").string(),
       "--tcp", link},
      {"--log", (dir_ / "hard.QLB").string(), "--tcp", link, file.string()},
      {"--log", (dir_ / "trace-link.txt").string(), "--trace", trace.string(), "--tcp", link,
       file.string()},
  };
  for (std::vector<std::string> args : cases) {
    SCOPED_TRACE(args[1] + " / " + args.back());
    args.insert(args.begin(), "--json");
    const auto run = RunFlash(Setup(args));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(Contains(run.err, "name the same file")) << run.err;
    const auto lines = JsonLines(run.out);
    ASSERT_EQ(lines.size(), 1u) << run.out;
    EXPECT_EQ(lines.back()["outcome"].toString(), "usage_error");
  }
  EXPECT_EQ(Slurp(file), before);
  EXPECT_EQ(Slurp(trace), "an older trace");
  EXPECT_FALSE(fs::exists(out));
  EXPECT_EQ(device->GetCounters().connections, 0u);
}

// Nothing after the header: a device written from it would be left blank.
TEST_F(FileTest, AFileWithNoImageIsRefusedBeforeAnyDeviceIsTouched) {
  auto device = Emulator();
  for (const std::string& bytes :
       {std::string(), std::string("QL480TX-V5"), std::string("QL480TX-V5 1.02", 16)}) {
    SCOPED_TRACE(std::to_string(bytes.size()) + " bytes");
    const fs::path file = dir_ / "short.QLB";
    WriteBytes(file, bytes);
    const auto run = RunFlash(Setup({"--json", "--tcp", Tcp(*device), file.string()}));
    EXPECT_EQ(run.status, 2) << run.out << run.err;
    const std::string reason =
        "cannot use the firmware file " + file.string() + ": no image after its 16-byte header";
    EXPECT_TRUE(Contains(run.err, reason)) << run.err;
    const auto lines = JsonLines(run.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["outcome"].toString(), "file_error");
    EXPECT_EQ(lines.back()["reason"].toString().toStdString(), reason);
  }
  EXPECT_EQ(device->GetCounters().connections, 0u);
}

// --force replaces a file, or a link without following it; never a device
// node, a FIFO or a folder. The nodes are the test's own, in its folder, so
// that a regression could never take away the system's.
TEST_F(FileTest, ForceReplacesOnlyAFileOrALink) {
  sim::SimConfig config;
  config.device.initialFlash = std::vector<std::uint8_t>(124 * 512, 0x42);
  auto device = Emulator(config);
  const fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  fs::create_directory(dir_ / "folder");
  struct Case {
    fs::path path;
    std::string why;
  };
  std::vector<Case> cases = {
      {fifo, "it is a FIFO; --force replaces only a regular file or a symbolic link"},
      {dir_ / "folder", "Is a directory"},
  };
  if (::geteuid() == 0) {
    const fs::path null = dir_ / "null";
    ASSERT_EQ(::mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    cases.push_back(
        {null,
         "it is a character device; --force replaces only a regular file or a symbolic link"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.string());
    const auto type = fs::symlink_status(c.path).type();
    const auto run =
        RunFlash(Setup({"--read-flash", c.path.string(), "--force", "--tcp", Tcp(*device)}));
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_TRUE(Contains(run.err, "cannot write " + c.path.string() + ": " + c.why)) << run.err;
    EXPECT_EQ(fs::symlink_status(c.path).type(), type);
  }
  EXPECT_EQ(device->GetCounters().connections, 0u);

  const fs::path kept = dir_ / "kept.txt";
  WriteBytes(kept, "kept");
  const fs::path link = dir_ / "backup.QLB";
  fs::create_symlink(kept, link);
  const auto run =
      RunFlash(Setup({"--read-flash", link.string(), "--force", "--tcp", Tcp(*device)}));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(link)));
  EXPECT_EQ(Slurp(link).size(), 16u + 124u * 512u);
  EXPECT_EQ(Slurp(kept), "kept");
}

// The program runs as root in some builds, where no file mode keeps it out:
// a log under a regular file, and a folder, cannot be opened by anyone.
TEST_F(FileTest, ALogThatCannotBeAppendedToIsRefusedBeforeAnyDeviceIsTouched) {
  const fs::path file = Firmware(600);
  WriteBytes(dir_ / "plain", "not a folder");
  fs::create_directory(dir_ / "folder.log");
  auto device = Emulator();
  for (const fs::path& log : {dir_ / "plain" / "station.log", dir_ / "folder.log"}) {
    SCOPED_TRACE(log.string());
    const auto run = RunFlash(
        Setup({"--json", "--repeat", "--log", log.string(), "--tcp", Tcp(*device), file.string()}));
    EXPECT_EQ(run.status, 2) << run.out << run.err;
    EXPECT_TRUE(Contains(run.err, "cannot write the log " + log.string())) << run.err;
    const auto lines = JsonLines(run.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["outcome"].toString(), "file_error");
  }
  EXPECT_EQ(device->GetCounters().connections, 0u);
}

// Two runs on one device append one line each, numbered on from the log's
// last unit of that link; a line of another link and a line cut short by a
// power cut change neither number.
TEST_F(FileTest, TheLogNumbersUnitsOnAcrossRuns) {
  const fs::path file = Firmware(3000);
  auto device = Emulator();
  const std::string link = Tcp(*device);
  const fs::path log = dir_ / "station.log";
  const std::string before = "{\"link\":\"/dev/ttyUSB0\",\"unit\":7}\n{\"link\":\"" + link +
                             "\",\"unit\":2}\n{\"link\":\"" + link + "\",\"unit\":9,\"utc";
  WriteBytes(log, before);
  const auto first = RunFlash(Setup({"--log", log.string(), "--tcp", link, file.string()}));
  EXPECT_EQ(first.status, 0) << first.err;
  const auto second =
      RunFlash(Setup({"--verify-only", "--log", log.string(), "--tcp", link, file.string()}));
  EXPECT_EQ(second.status, 0) << second.err;

  const std::string text = Slurp(log);
  ASSERT_EQ(text.rfind(before, 0), 0u) << "what the log held stays as it was";
  const auto lines = JsonLines(text.substr(before.size() + 1));
  ASSERT_EQ(lines.size(), 2u) << text;
  const std::string digest =
      QCryptographicHash::hash(QByteArray::fromStdString(Slurp(file)), QCryptographicHash::Sha256)
          .toHex()
          .toStdString();
  const char* outcomes[] = {"upgrade_ok", "verify_ok"};
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const QJsonObject& line = lines[i];
    EXPECT_EQ(line["link"].toString().toStdString(), link);
    EXPECT_EQ(line["unit"].toInt(), static_cast<int>(i) + 3);
    EXPECT_EQ(line["outcome"].toString(), outcomes[i]);
    EXPECT_EQ(line["status"].toInt(), 0);
    EXPECT_EQ(line["device_info_before"].toString(), "QL480TX-V5      ");
    EXPECT_EQ(line["file"].toString().toStdString(), file.string());
    EXPECT_EQ(line["file_size"].toInt(), 3016);
    EXPECT_EQ(line["sha256"].toString().toStdString(), digest);
    EXPECT_TRUE(line["reason"].isNull());
    EXPECT_GT(line["seconds"].toDouble(), 0.0);
    EXPECT_EQ(line["utc"].toString().size(), 24) << "2026-12-09T21:10:05.123Z";
  }
  // Nothing written: the device answers as before; after a write it is not
  // asked again.
  EXPECT_TRUE(lines[0]["device_info_after"].isNull());
  EXPECT_EQ(lines[1]["device_info_after"].toString(), "QL480TX-V5      ");
}

}  // namespace
}  // namespace ql::flash
