// The parts of ql480tx-flash below its command line: telling links apart,
// the trace's byte form, the terminal rows and the atomic output file.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "console.h"
#include "links.h"
#include "out_file.h"
#include "port_details.h"
#include "support/temp_folder.h"
#include "trace.h"

namespace ql::flash {
namespace {

namespace fs = std::filesystem;

using testing_support::TempFolder;

DeviceLink Tcp(std::string host, std::string port) {
  DeviceLink l;
  l.kind = link::LinkKind::Tcp;
  l.host = std::move(host);
  l.port = std::move(port);
  return l;
}

DeviceLink Serial(std::string port) {
  DeviceLink l;
  l.kind = link::LinkKind::Serial;
  l.port = std::move(port);
  l.lineSettings = "19200,e,8,1";
  return l;
}

TEST(FlashLinks, TheSameLinkTwiceIsFoundAfterLookupAndLinks) {
  TempFolder dir;
  const fs::path port = fs::path(dir.path()) / "ttyFAKE";
  std::ofstream(port).put('x');
  fs::create_symlink(port, fs::path(dir.path()) / "alias");

  struct Case {
    DeviceLink a;
    DeviceLink b;
    bool same;
  };
  const Case cases[] = {
      {Tcp("127.0.0.1", "5003"), Tcp("127.0.0.1", "5003"), true},
      {Tcp("127.0.0.1", "5003"), Tcp("localhost", "5003"), true},  // looked up
      {Tcp("127.0.0.1", "5003"), Tcp("127.0.0.1", "05003"), true},
      {Tcp("127.0.0.1", "5003"), Tcp("127.0.0.1", "5004"), false},
      {Tcp("127.0.0.1", "5003"), Tcp("127.0.0.2", "5003"), false},
      {Serial("COM1"), Serial("/dev/ttyS0"), true},
      {Serial("com2"), Serial("/dev/ttyS1"), true},
      {Serial(port.string()), Serial((fs::path(dir.path()) / "alias").string()), true},
      {Serial(port.string()), Serial((fs::path(dir.path()) / "." / "ttyFAKE").string()), true},
      {Serial("/dev/ttyS0"), Serial("/dev/ttyS1"), false},
      {Serial("/dev/ttyS0"), Tcp("127.0.0.1", "5003"), false},
  };
  for (const auto& c : cases) {
    const std::vector<RunLink> links = {ResolvedLink(c.a), ResolvedLink(c.b)};
    EXPECT_EQ(!SameLinkTwice(links).empty(), c.same) << c.a.Label() << " / " << c.b.Label();
  }
}

TEST(FlashLinks, TheStartLineNamesWhatIsUsed) {
  RunLink com = ResolvedLink(Serial("COM2"));
  EXPECT_EQ(DescribeLink(com), "COM2 (/dev/ttyS1) at 19200,e,8,1");
  link::LinkSettings stored;
  stored.comPortName = "/dev/ttyUSB0";
  stored.comBaudRate = "fast";  // the window keeps such a text; the port keeps its settings
  const RunLink fromWindow = StoredLink(stored);
  EXPECT_TRUE(fromWindow.stored);
  EXPECT_EQ(DescribeLink(fromWindow),
            "/dev/ttyUSB0 at fast (not readable: the port keeps its own settings)");
  EXPECT_EQ(DescribeLink(ResolvedLink(Tcp("localhost", "5003"))), "localhost:5003 (127.0.0.1)");
  EXPECT_EQ(JsonLine(LinkJson(ResolvedLink(Tcp("127.0.0.1", "5003")))),
            R"({"device":"127.0.0.1:5003","kind":"tcp","host":"127.0.0.1",)"
            R"("address":"127.0.0.1","port":5003,"stored":false})");
}

TEST(FlashTrace, BytesDecodeBackExactly) {
  std::vector<std::uint8_t> all(256);
  for (int i = 0; i < 256; ++i) {
    all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
  }
  const std::string text = TraceBytes(all);
  std::vector<std::uint8_t> back;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ASSERT_EQ(text[i + 1], 'x');
      back.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i + 2, 2), nullptr, 16)));
      i += 3;
    } else {
      back.push_back(static_cast<std::uint8_t>(text[i]));
    }
  }
  EXPECT_EQ(back, all);
  const std::uint8_t frame[] = {0x01, '0', '0', '0', '1', 'Z', 'x', ' ', '\\', 0x02, 0x0D, 0xFF};
  EXPECT_EQ(TraceBytes(frame), "\\x010001Zx \\x5C\\x02\\x0D\\xFF");
}

TEST(FlashConsole, WidthCountsWideCharactersAndCutsBetweenThem) {
  EXPECT_EQ(DisplayWidth("abc"), 3);
  EXPECT_EQ(DisplayWidth("更新完成."), 9);
  EXPECT_EQ(CutToWidth("abcdef", 4), "abcd");
  EXPECT_EQ(CutToWidth("更新完成.", 5), "更新");  // never half a character
  EXPECT_EQ(CutToWidth("abc", 10), "abc");
}

// What a live console of `columns` wrote, after `act`.
struct Written {
  std::string out;
  std::string err;
};

Written RunConsole(int columns, const std::function<void(Console&)>& act) {
  int out[2];
  int err[2];
  EXPECT_EQ(pipe(out), 0);
  EXPECT_EQ(pipe(err), 0);
  {
    Console console(out[1], err[1], true, 2, columns);
    act(console);
    console.Finish();
  }
  close(out[1]);
  close(err[1]);
  Written w;
  char buffer[4096];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
    w.out.append(buffer, static_cast<std::size_t>(n));
  }
  for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) > 0;) {
    w.err.append(buffer, static_cast<std::size_t>(n));
  }
  close(out[0]);
  close(err[0]);
  return w;
}

TEST(FlashConsole, StatusRowsAreCutToTheWidthAndErasedByTheRowsTheyTake) {
  const std::string longRow(100, '#');
  const Written w = RunConsole(60, [&](Console& c) {
    c.Status(0, longRow);
    c.Line("Programming ...");
    c.Error("Program/Download error! (block 2, address 0400, 5 tries)");
    c.Resize(30);  // a row drawn 59 wide now takes two rows
    c.Status(1, "verify");
    c.ClearStatus();
  });
  const std::string row59(59, '#');
  const std::string row29(29, '#');
  EXPECT_EQ(w.out, row59 + "\n" +                                              // drawn
                       "\x1b[1F\x1b[J" + "Programming ...\n" + row59 + "\n" +  // line above it
                       "\x1b[1F\x1b[J" + row59 + "\n" +          // taken away around the error
                       "\x1b[2F\x1b[J" + row29 + "\n" +          // resized: two rows erased
                       "\x1b[1F\x1b[J" + row29 + "\nverify\n" +  // second device
                       "\x1b[2F\x1b[J");
  EXPECT_EQ(w.err, "Program/Download error! (block 2, address 0400, 5 tries)\n");
}

TEST(FlashConsole, ControlCharactersNeverReachTheTerminal) {
  const Written w = RunConsole(80, [](Console& c) { c.Line("port \x1b[2J\x07name"); });
  EXPECT_EQ(w.out, "port ?[2J?name\n");
  // C1 controls as UTF-8 or as bare bytes, and bytes of no character; wide
  // characters pass whole.
  EXPECT_EQ(Printable("a\xc2\x9b"
                      "2Jb\x9b"
                      "c\xe4\xb8\xad"
                      "d\xe4\xb8"),
            "a?2Jb?c\xe4\xb8\xad"
            "d??");
}

TEST(FlashPorts, AUsbAdapterIsDescribedByWhatTheSystemKnows) {
  const TempFolder dir;
  const fs::path usb = fs::path(dir.path()) / "sys/devices/pci0/usb1/1-2";
  const fs::path tty = usb / "1-2:1.0/ttyUSB0";
  fs::create_directories(tty);
  for (const auto& [name, value] : {std::pair<const char*, const char*>{"idVendor", "0403"},
                                    {"idProduct", "6001"},
                                    {"product", "FT232R USB UART"},
                                    {"manufacturer", "FTDI"},
                                    {"serial", "A10K3B2C"}}) {
    std::ofstream(usb / name) << value << "\n";
  }
  fs::create_directories(fs::path(dir.path()) / "sys/class/tty/ttyUSB0");
  fs::create_directory_symlink(tty, fs::path(dir.path()) / "sys/class/tty/ttyUSB0/device");
  const fs::path node = fs::path(dir.path()) / "ttyUSB0";
  std::ofstream(node).put('x');
  fs::create_directories(fs::path(dir.path()) / "by-id");
  const fs::path stable =
      fs::path(dir.path()) / "by-id/usb-FTDI_FT232R_USB_UART_A10K3B2C-if00-port0";
  fs::create_symlink(node, stable);

  const PortDetails port = DescribePort(node.string(), (fs::path(dir.path()) / "sys").string(),
                                        (fs::path(dir.path()) / "by-id").string());
  EXPECT_EQ(PortLine(port), node.string() +
                                "  FT232R USB UART, by FTDI, USB 0403:6001, serial number "
                                "A10K3B2C  " +
                                stable.string());
  // A port the system tells nothing of is its path alone.
  EXPECT_EQ(PortLine(DescribePort("/dev/ttyS7", (fs::path(dir.path()) / "sys").string(),
                                  (fs::path(dir.path()) / "none").string())),
            "/dev/ttyS7");
}

TEST(FlashConsole, AReaderThatHasGoneEndsOnlyTheOutput) {
  ::signal(SIGPIPE, SIG_IGN);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  close(out[0]);
  Console console(out[1], STDERR_FILENO, false, 1, 80);
  for (int i = 0; i < 1000; ++i) {
    console.Line("line " + std::to_string(i));
  }
  console.Finish();
  EXPECT_EQ(console.OutputError(), "Broken pipe");
  close(out[1]);
}

TEST(FlashOutputFile, WrittenWholeAndNeverOverAnotherFileUnlessForced) {
  TempFolder dir;
  const std::string path = (fs::path(dir.path()) / "out.QLB").string();
  const std::vector<std::uint8_t> bytes(63504, 0xA5);
  auto slurp = [](const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  auto entries = [&dir] {
    return static_cast<int>(std::distance(fs::directory_iterator(fs::path(dir.path())), {}));
  };

  std::string why;
  {
    auto out = OutputFile::Prepare(path, false, why);
    ASSERT_NE(out, nullptr) << why;
    EXPECT_TRUE(out->Commit(bytes, why)) << why;
  }
  EXPECT_EQ(slurp(path), std::string(bytes.begin(), bytes.end()));
  EXPECT_EQ(entries(), 1) << "no temporary file is left";

  // An existing file: refused before anything is read ...
  EXPECT_EQ(OutputFile::Prepare(path, false, why), nullptr);
  EXPECT_EQ(why, "File exists (--force replaces it)");
  // ... and also when it appears while the device is being read.
  fs::remove(path);
  {
    auto out = OutputFile::Prepare(path, false, why);
    ASSERT_NE(out, nullptr);
    std::ofstream(path) << "made meanwhile";
    EXPECT_FALSE(out->Commit(bytes, why));
    EXPECT_EQ(why, "File exists (--force replaces it)");
  }
  EXPECT_EQ(slurp(path), "made meanwhile");
  EXPECT_EQ(entries(), 1);

  {
    auto out = OutputFile::Prepare(path, true, why);
    ASSERT_NE(out, nullptr);
    EXPECT_TRUE(out->Commit(bytes, why));
  }
  EXPECT_EQ(slurp(path).size(), bytes.size());

  // Nothing put in place: the temporary file goes with the object.
  fs::remove(path);
  { auto abandoned = OutputFile::Prepare(path, false, why); }
  EXPECT_EQ(entries(), 0);
  EXPECT_FALSE(fs::exists(path));

  EXPECT_EQ(
      OutputFile::Prepare((fs::path(dir.path()) / "no-folder" / "x.QLB").string(), false, why),
      nullptr);
  EXPECT_EQ(why, "No such file or directory");
}

// What was a file when the read began may be a FIFO or a device node by its
// end: --force looks again before it replaces anything.
TEST(FlashOutputFile, ForceLooksAgainBeforeReplacing) {
  TempFolder dir;
  const std::string path = (fs::path(dir.path()) / "out.QLB").string();
  std::ofstream(path) << "old";
  std::string why;
  auto out = OutputFile::Prepare(path, true, why);
  ASSERT_NE(out, nullptr) << why;
  fs::remove(path);
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  EXPECT_FALSE(out->Commit(std::vector<std::uint8_t>(10, 1), why));
  EXPECT_EQ(why, "it is a FIFO; --force replaces only a regular file or a symbolic link");
  out.reset();
  EXPECT_TRUE(fs::is_fifo(fs::symlink_status(path)));
  EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(dir.path())), {}), 1)
      << "a temporary file was left";
}

TEST(FlashOutputFile, HeaderIsTheDeviceInformationThenTheBlocks) {
  image::BlockTable table;
  table.Row(0)[0] = 0x11;
  table.Row(123)[511] = 0x22;
  const auto bytes = FlashFileBytes("QL480TX-V5      ", table, 124);
  ASSERT_EQ(bytes.size(), 16u + 124u * 512u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 16), "QL480TX-V5      ");
  EXPECT_EQ(bytes[16], 0x11);
  EXPECT_EQ(bytes.back(), 0x22);
  const auto shortInfo = FlashFileBytes("QL", table, 0);
  EXPECT_EQ(shortInfo,
            std::vector<std::uint8_t>({'Q', 'L', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace ql::flash
