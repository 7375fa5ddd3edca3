// Hostile settings files: files as fuzzing found them (values QSettings
// would rebuild objects from; garbage around the values), and names that are
// no regular file at all (FIFOs, devices, links, huge files). The store must
// never hang on them, never build an object, never write over what is not
// its own, and never leave half a file.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <QString>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "settings/qsettings_store.h"
#include "settings/settings.h"
#include "settings/settings_file.h"
#include "support/bounded_call.h"

namespace ql::settings {
namespace {

using link::LinkKind;
using link::LinkSettings;
using testing_support::ReturnsTrue;

namespace fs = std::filesystem;

class StoredFileSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "ql-settings-safety-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override {
    std::error_code error;
    fs::remove_all(folder_, error);
  }

  // A fresh file name for each case: QSettings keeps parsed files by name.
  QString Write(const std::string& bytes) {
    path_ = folder_ / ("case" + std::to_string(++count_) + ".ini");
    std::ofstream(path_, std::ios::binary) << bytes;
    return QString::fromStdString(path_.string());
  }

  std::string Read() const { return ReadFile(path_); }

  static std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  static void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }

  fs::path folder_;
  fs::path path_;
  int count_ = 0;
};

void ExpectSettings(const Settings& s, const Settings& expected) {
  EXPECT_EQ(s.link.linkKind, expected.link.linkKind);
  EXPECT_EQ(s.link.comPortName, expected.link.comPortName);
  EXPECT_EQ(s.link.comBaudRate, expected.link.comBaudRate);
  EXPECT_EQ(s.link.netIp, expected.link.netIp);
  EXPECT_EQ(s.link.netPort, expected.link.netPort);
  EXPECT_EQ(s.languageFlag, expected.languageFlag);
  EXPECT_EQ(s.currentLanguage, expected.currentLanguage);
}

// Nested lists of lists, `levels` deep, in QSettings's serialised form.
std::string NestedVariant(int levels) {
  const std::string list("\0\0\0\x09\0\0\0\x01", 8);
  std::string text = "[General]\nTYPE=@Variant(";
  for (int i = 0; i < levels; ++i) {
    text += list;
  }
  return text + std::string("\0\0\0\x02\0\0\0\x01)\n", 10);
}

// A value QSettings would rebuild an object from is of the wrong type for
// that value alone: reading stops there, the values before it are read. It
// is never rebuilt (the first two files crashed the program at every start
// while QSettings parsed them), and a save still stores the program's values
// while every line it does not touch stays byte for byte.
TEST_F(StoredFileSafety, SerialisedValueStopsTheReadingThereAndSavesStillWork) {
  const std::string variantInt = "@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x5)";
  using Change = std::function<void(Settings&)>;
  const Change nothing = [](Settings&) {};
  const struct {
    const char* what;
    std::string bytes;
    Change read;
    std::string kept;  // a part of the file no save touches
  } cases[] = {
      // Found by fuzzing: a list claiming 671 million elements, 21 GB.
      {"huge list",
       std::string("[General]\nTYPE=@Variant(\\0\\0\\0\\t(\\0\\0\\0\\x2)\nComPortName=@ral]3)\n"),
       nothing, "[General]\n"},
      // Overflowed the stack while QSettings parsed it.
      {"deep nesting", NestedVariant(100000), nothing, "[General]\n"},
      {"value", "[General]\nComPortName=" + variantInt + "\n", nothing, ""},
      {"quoted value", "[General]\nComPortName=\"" + variantInt + "\"\nNetIP=10.9.9.9\n", nothing,
       ""},
      {"list element", "[General]\nNetIP=10.0.0.1, " + variantInt + "\n", nothing, ""},
      {"escaped @", "[General]\nNetIP=\\x40Variant(\\0\\0\\0\\x2\\0\\0\\0\\x5)\n", nothing, ""},
      {"octal @", "[General]\nNetIP=\\100Variant(\\0\\0\\0\\x2\\0\\0\\0\\x5)\n", nothing, ""},
      {"other section", "[General]\nTYPE=1\n[Other]\nKey=" + variantInt + "\n",
       [](Settings& s) { s.link.linkKind = LinkKind::Tcp; }, "[Other]\nKey=" + variantInt + "\n"},
      {"other value", "[General]\nGeometry=" + variantInt + "\nTYPE=1\nNetPort=6002\n",
       [](Settings& s) {
         s.link.linkKind = LinkKind::Tcp;
         s.link.netPort = "6002";
       },
       "Geometry=" + variantInt + "\n"},
      {"after good values",
       "[General]\nTYPE=1\nComBaudRate=\"9600,n,8,1\"\nNetPort=6001\nLanguageFlag=" + variantInt +
           "\n",
       [](Settings& s) {
         s.link.linkKind = LinkKind::Tcp;
         s.link.comBaudRate = "9600,n,8,1";
         s.link.netPort = "6001";
       },
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    QSettingsStore store(Write(c.bytes));
    Settings expected;
    c.read(expected);
    ExpectSettings(LoadSettings(store), expected);

    LinkSettings link;
    SaveLinkSettings(store, link, LinkControls{LinkKind::Tcp, "", "", "10.1.1.1", "7"});
    SaveLanguage(store, "ChineseGB");
    expected = Settings();
    expected.link = link;
    expected.languageFlag = "ChineseGB";
    expected.currentLanguage = text::Language::Simplified;
    ExpectSettings(LoadSettings(store), expected);
    EXPECT_NE(Read().find(c.kept), std::string::npos) << "the save lost what it did not store";
  }
}

// Texts that merely contain '@' or an escape are read as ever.
TEST_F(StoredFileSafety, PlainTextsWithAtSignsAreRead) {
  QSettingsStore store(
      Write("[General]\nComPortName=@@port\nNetIP=user@host\nNetPort=\\t6000\n"
            "ComBaudRate=\"9600,n,8,1\"\n"));
  const Settings s = LoadSettings(store);
  EXPECT_EQ(s.link.comPortName, "@port");
  EXPECT_EQ(s.link.netIp, "user@host");
  EXPECT_EQ(s.link.netPort, "\t6000");
  EXPECT_EQ(s.link.comBaudRate, "9600,n,8,1");
}

// What a save writes is read back by the next start, however the texts
// begin: the program's own files never hold a value of the wrong type.
TEST_F(StoredFileSafety, SavedTextsBeginningWithAtOrEscapesComeBack) {
  const std::string controlFirst = std::string("\x01") + "19200";
  QSettingsStore store(Write(""));
  LinkSettings link{LinkKind::Serial, "@COM1", controlFirst, "@", "1,@Variant(\\0)"};
  SaveLinkSettings(store, link, LinkControls{LinkKind::Serial, "@COM1", controlFirst, "", ""});
  SaveLanguage(store, "@ChineseGB");

  const Settings s = LoadSettings(store);
  EXPECT_EQ(s.link.comPortName, "@COM1");
  EXPECT_EQ(s.link.comBaudRate, controlFirst);
  EXPECT_EQ(s.link.netIp, "@");
  EXPECT_EQ(s.link.netPort, "1,@Variant(\\0)");
  EXPECT_EQ(s.languageFlag, "@ChineseGB");
}

// A TYPE with leading zeros and a comment after it is still a 32-bit number;
// the garbage around it holds none of our values.
TEST_F(StoredFileSafety, GarbledFileWithZeroPaddedTypeSelectsTcp) {
  const std::string bytes("=\x01\x00\xa2ra\xec]\nTYPE=002129604653;4\x00NNNN0\\=\x01x1NNNN\xa3",
                          44);
  QSettingsStore store(Write(bytes));
  const Settings s = LoadSettings(store);
  EXPECT_EQ(s.link.linkKind, LinkKind::Tcp);
  EXPECT_EQ(s.link.comPortName, "COM1");
  EXPECT_EQ(s.link.netPort, "5003");
  EXPECT_EQ(s.languageFlag, "English");
}

// Found by fuzzing: the whole file as the language flag. The flag holds
// U+FEFF after a control character, which QSettings's format would lose; the
// save was refused (and so silently dropped) rather than store it wrong.
TEST_F(StoredFileSafety, TextHoldingAByteOrderMarkIsSavedAndComesBack) {
  const std::string bytes =
      "\x11\xef\xbb\xbf[Genera[General]\nComBaudRate=\"19200,e,mPortsl]\r\nNetIP=\"10eGB";
  QSettingsStore store(Write(bytes));
  EXPECT_EQ(LoadSettings(store).link.comBaudRate, "19200,e,mPortsl]\r\nNetIP=10eGB");
  SaveLanguage(store, bytes);
  const Settings s = LoadSettings(store);
  EXPECT_EQ(s.languageFlag, bytes);
  EXPECT_EQ(s.link.comBaudRate, "19200,e,mPortsl]\r\nNetIP=10eGB");
}

// Found by fuzzing: a language flag beginning with U+FEFF lost it on its way
// into the store (QString::fromUtf8 drops it as a byte-order mark).
TEST_F(StoredFileSafety, TextBeginningWithAByteOrderMarkKeepsIt) {
  const std::string bytes =
      "\xef\xbb\xbf\xef\xbb\xbf[Gene\\\nrale2]\rN.tP=\"05mPkrtNa\" 11.k@U4E2D=1[Gene\\\nrale2]\r"
      "N.tP=\"05mPkrtNa\" 11.k@U4E2D=1\n";
  QSettingsStore store(Write(bytes));
  const std::string flag = bytes.substr(3);
  SaveLanguage(store, flag);
  EXPECT_EQ(LoadSettings(store).languageFlag, flag);
}

// Loads, then saves as a handshake and a language choice would; true when
// the load gave the defaults.
bool LoadGivesDefaultsAndSave(const QString& path) {
  QSettingsStore store(path);
  const Settings s = LoadSettings(store);
  LinkSettings link;
  SaveLinkSettings(store, link, LinkControls{LinkKind::Tcp, "", "", "10.1.1.1", "7"});
  SaveLanguage(store, "ChineseGB");
  const Settings defaults;
  return s.link.linkKind == defaults.link.linkKind && s.link.netIp == defaults.link.netIp &&
         s.languageFlag == defaults.languageFlag;
}

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// What lies under a name, told apart well enough to see it unchanged.
std::string Describe(const fs::path& path) {
  struct stat link {};
  if (::lstat(path.c_str(), &link) != 0) {
    return "nothing";
  }
  std::string text = std::to_string(link.st_mode) + " " + std::to_string(link.st_size);
  if (S_ISLNK(link.st_mode)) {
    text += " -> " + fs::read_symlink(path).string();
  } else if (S_ISREG(link.st_mode)) {
    text += " " + std::to_string(std::hash<std::string>()(ReadWhole(path)));
  }
  return text;
}

// A character device of the memory driver (3 null, 5 zero). As root, a node
// of its own in the test's folder: a store that wrote through a link would
// replace the node with a regular file (QSettings did), and must not be able
// to do that to the system's. Others cannot replace anything in /dev.
fs::path DeviceFor(const fs::path& folder, const char* name, unsigned minor) {
  if (::geteuid() != 0) {
    return fs::path("/dev") / name;
  }
  const fs::path node = folder / name;
  EXPECT_EQ(::mknod(node.c_str(), S_IFCHR | 0666, ::makedev(1, minor)), 0) << node;
  return node;
}

// A settings file that is a FIFO hung both programs at start-up; one linked
// to /dev/zero made the window read gigabytes. Anything but a regular file of
// at most 1 MiB is a store that cannot be opened: the defaults at once, and
// no save touches it.
TEST_F(StoredFileSafety, NamesThatAreNoRegularFileAreNeitherReadNorWritten) {
  fs::create_directory(folder_ / "devices");
  const auto Device = [this](const char* name, unsigned minor) {
    return DeviceFor(folder_ / "devices", name, minor);
  };
  const std::string stored = "[General]\nTYPE=1\nLanguageFlag=ChineseBIG5\n";
  const fs::path fifo = folder_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path huge = folder_ / "huge";
  WriteFile(huge, stored + std::string(kMaxSettingsFileBytes, ';'));
  const fs::path socketPath = folder_ / "socket";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.string().size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socketPath.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  fs::create_directory(folder_ / "folder");
  const struct {
    const char* what;
    fs::path name;
    fs::path linkTo;  // empty: `name` itself
  } cases[] = {
      {"FIFO", fifo, {}},
      {"link to a FIFO", folder_ / "a.ini", fifo},
      {"link to a zero device", folder_ / "b.ini", Device("zero", 5)},
      {"link to a null device", folder_ / "c.ini", Device("null", 3)},
      {"socket", socketPath, {}},
      {"folder", folder_ / "folder", {}},
      {"dangling link", folder_ / "d.ini", folder_ / "nowhere.ini"},
      {"file over 1 MiB", huge, {}},
      {"link to a file over 1 MiB", folder_ / "e.ini", huge},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.linkTo.empty()) {
      fs::create_symlink(c.linkTo, c.name);
    }
    const std::string before = Describe(c.name);
    const QString path = QString::fromStdString(c.name.string());
    EXPECT_TRUE(ReturnsTrue([&] { return LoadGivesDefaultsAndSave(path); }))
        << "the load was not the defaults, or the calls did not return";
    EXPECT_EQ(Describe(c.name), before);
  }
  EXPECT_FALSE(fs::exists(folder_ / "nowhere.ini"));
  ::close(listener);
}

// Exactly 1 MiB is still read; a save that would take the file past it is
// refused, as the next start could not read the file.
TEST_F(StoredFileSafety, FileOfOneMebibyteIsReadButNotGrownPastIt) {
  const std::string head = "[General]\nLanguageFlag=ChineseBIG5\n";
  const std::string bytes = head + std::string(kMaxSettingsFileBytes - head.size(), ';');
  QSettingsStore store(Write(bytes));
  EXPECT_EQ(LoadSettings(store).languageFlag, "ChineseBIG5");
  LinkSettings link;
  SaveLinkSettings(store, link, LinkControls{LinkKind::Tcp, "", "", "10.1.1.1", "7"});
  EXPECT_TRUE(Read() == bytes) << "the file was grown past 1 MiB";
  SaveLanguage(store, "English");
  EXPECT_EQ(LoadSettings(store).languageFlag, "English");
  EXPECT_EQ(Read().size(), bytes.size() - 4);
}

// A link to a file of the user's own is written through: the link stays,
// the file it leads to takes the values and keeps its other lines.
TEST_F(StoredFileSafety, LinkToOwnFileIsWrittenThrough) {
  fs::create_directory(folder_ / "elsewhere");
  const fs::path target = folder_ / "elsewhere" / "settings.ini";
  WriteFile(target, "; mine\n[General]\nLanguageFlag=ChineseBIG5\n\n[Mine]\nKeep=1\n");
  const fs::path link = folder_ / "link.ini";
  fs::create_symlink(target, link);
  QSettingsStore store(QString::fromStdString(link.string()));
  EXPECT_EQ(LoadSettings(store).languageFlag, "ChineseBIG5");
  SaveLanguage(store, "ChineseGB");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFile(target), "; mine\n[General]\nLanguageFlag=ChineseGB\n\n[Mine]\nKeep=1\n");
  EXPECT_EQ(fs::directory_iterator(folder_ / "elsewhere")->path(), target);
}

// A link to a file of another owner (a copy of /etc/passwd became two INI
// lines) is read, but never written through.
TEST_F(StoredFileSafety, LinkToAnotherOwnersFileIsNotWrittenThrough) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "only root can give a file to another owner";
  }
  constexpr uid_t kNobody = 65534;
  const fs::path target = folder_ / "passwd";
  const std::string theirs = "root:x:0:0:root:/root:/bin/bash\nLanguageFlag=ChineseGB\n";
  WriteFile(target, theirs);
  ASSERT_EQ(::chown(target.c_str(), kNobody, kNobody), 0);
  const fs::path link = folder_ / "link.ini";
  fs::create_symlink(target, link);
  QSettingsStore store(QString::fromStdString(link.string()));
  EXPECT_EQ(LoadSettings(store).languageFlag, "ChineseGB");
  EXPECT_FALSE(store.Open(true));
  SaveLanguage(store, "English");
  LinkSettings memory;
  SaveLinkSettings(store, memory, LinkControls{LinkKind::Tcp, "", "", "10.1.1.1", "7"});
  EXPECT_EQ(memory.netIp, LinkSettings().netIp) << "a refused save changes nothing in memory";
  EXPECT_EQ(ReadFile(target), theirs);
  EXPECT_TRUE(fs::is_symlink(link));
}

// A save replaces the file whole through a new file beside it: what is left
// is the settings file alone, with the permissions it had (a new one gets the
// user's usual ones).
TEST_F(StoredFileSafety, SavesLeaveOnlyTheFileWithItsPermissions) {
  const fs::path path = folder_ / "settings.ini";
  const QString name = QString::fromStdString(path.string());
  const mode_t mask = ::umask(022);
  {
    QSettingsStore store(name);
    SaveLanguage(store, "ChineseGB");
  }
  ::umask(mask);
  EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write |
                                                fs::perms::group_read | fs::perms::others_read);
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  QSettingsStore store(name);
  LinkSettings link;
  SaveLinkSettings(store, link, LinkControls{LinkKind::Tcp, "", "", "10.1.1.1", "7"});
  SaveLanguage(store, "English");
  EXPECT_EQ(fs::status(path).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  std::vector<fs::path> left;
  for (const auto& entry : fs::directory_iterator(folder_)) {
    left.push_back(entry.path());
  }
  EXPECT_EQ(left, std::vector<fs::path>{path});
  EXPECT_EQ(LoadSettings(store).link.netIp, "10.1.1.1");
}

}  // namespace
}  // namespace ql::settings
