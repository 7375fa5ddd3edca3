// The settings rules over the real INI store, in a configuration folder of
// its own: what a first start, a save and a hand-edited file give.
#include "settings/qsettings_store.h"

#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <QSettings>
#include <QStringDecoder>
#include <QStringList>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "settings/settings.h"

namespace ql::settings {
namespace {

using link::LinkKind;
using link::LinkSettings;

namespace fs = std::filesystem;

// QSettings takes the user's configuration folder once per process, so the
// folder is set before any test runs and each test empties it.
class ConfigHome {
 public:
  ConfigHome() {
    std::string pattern = (fs::temp_directory_path() / "ql-settings-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::abort();
    }
    root_ = pattern;
    ::setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
  }
  ~ConfigHome() {
    std::error_code error;
    fs::remove_all(root_, error);
  }
  const fs::path& Root() const { return root_; }

 private:
  fs::path root_;
};

const ConfigHome& Home() {
  static const ConfigHome home;
  return home;
}
const ConfigHome& kHomeAtStart = Home();

fs::path Folder() {
  return Home().Root() / "KORVA";
}
fs::path IniPath() {
  return Folder() / "QL480TX_FirmwareUpgrade.ini";
}

bool IsRoot() {
  return ::geteuid() == 0;
}

// Permissions do not bind root, and the suite runs as root in CI. There the
// body runs on a thread of its own whose file-system identity is the
// unprivileged "nobody", who owns the configuration folder meanwhile. On
// Linux that identity, and the file capabilities it drops, belong to the one
// thread: the rest of the test goes on as root.
void AsUnprivilegedUser(const std::function<void()>& body) {
  if (!IsRoot()) {
    body();
    return;
  }
  constexpr uid_t kNobody = 65534;
  const fs::path& root = Home().Root();
  ASSERT_EQ(::chown(root.c_str(), kNobody, kNobody), 0);
  bool dropped = false;
  std::thread unprivileged([&] {
    ::setfsgid(kNobody);
    ::setfsuid(kNobody);
    // With an invalid identity the call changes nothing and returns the
    // current one.
    dropped = static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) == kNobody;
    if (dropped) {
      body();
    }
  });
  unprivileged.join();
  EXPECT_EQ(::chown(root.c_str(), 0, 0), 0);
  EXPECT_TRUE(dropped) << "could not give up root's file access";
  EXPECT_EQ(::setfsuid(static_cast<uid_t>(-1)), 0) << "the test's own thread is still root";
}

class QSettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { Clean(); }
  void TearDown() override { Clean(); }

  static void Clean() {
    std::error_code error;
    if (fs::exists(Folder(), error)) {
      fs::permissions(Folder(), fs::perms::owner_all, fs::perm_options::add, error);
    }
    fs::remove_all(Folder(), error);
  }

  static void WriteIni(const std::string& text) {
    fs::create_directories(Folder());
    std::ofstream(IniPath(), std::ios::binary) << text;
  }

  static std::string IniText() {
    std::ifstream in(IniPath(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  static QStringList StoredKeys() {
    return QSettings(QString::fromStdString(IniPath().string()), QSettings::IniFormat).allKeys();
  }

  static Settings Load() {
    QSettingsStore store;
    return LoadSettings(store);
  }
};

TEST_F(QSettingsStoreTest, DefaultStoreIsTheFileInTheUserConfigFolder) {
  EXPECT_EQ(QSettingsStore().FilePath().toStdString(), IniPath().string());
}

TEST_F(QSettingsStoreTest, FirstStartGivesDefaultsAndCreatesNothing) {
  const Settings s = Load();
  EXPECT_EQ(s.link.linkKind, LinkKind::Serial);
  EXPECT_EQ(s.link.comPortName, "COM1");
  EXPECT_EQ(s.link.comBaudRate, "19200,e,8,1");
  EXPECT_EQ(s.link.netIp, "192.168.1.101");
  EXPECT_EQ(s.link.netPort, "5003");
  EXPECT_EQ(s.languageFlag, "English");
  EXPECT_FALSE(fs::exists(Folder()));
}

TEST_F(QSettingsStoreTest, LanguageAsFirstSaveStoresOnlyTheFlag) {
  QSettingsStore store;
  SaveLanguage(store, "ChineseGB");
  EXPECT_EQ(StoredKeys(), QStringList{"LanguageFlag"});

  const Settings s = Load();
  EXPECT_EQ(s.currentLanguage, text::Language::Simplified);
  EXPECT_EQ(s.link.linkKind, LinkKind::Serial);
  EXPECT_EQ(s.link.comPortName, "COM1");
  EXPECT_EQ(s.link.comBaudRate, "19200,e,8,1");
  EXPECT_EQ(s.link.netPort, "5003");
}

// TYPE is 0 exactly when the COM tab is active; the inactive tab is stored
// from memory; texts with commas come back as one string; the language
// stored earlier survives a link save.
TEST_F(QSettingsStoreTest, LinkSettingsRoundTrip) {
  for (LinkKind tab : {LinkKind::Serial, LinkKind::Tcp}) {
    SCOPED_TRACE(tab == LinkKind::Tcp ? "NET tab" : "COM tab");
    Clean();
    QSettingsStore store;
    SaveLanguage(store, "ChineseBIG5");
    LinkSettings memory{LinkKind::Serial, "COM3", "38400,e,8,1", "10.0.0.1", "4001"};
    const LinkControls controls{tab, "/dev/ttyUSB1", "115200,n,8,1", "192.168.7.7", "9000"};
    SaveLinkSettings(store, memory, controls);

    const bool net = tab == LinkKind::Tcp;
    EXPECT_NE(IniText().find(net ? "TYPE=1\n" : "TYPE=0\n"), std::string::npos) << IniText();
    const Settings s = Load();
    EXPECT_EQ(s.link.linkKind, tab);
    EXPECT_EQ(s.link.comPortName, net ? "COM3" : "/dev/ttyUSB1");
    EXPECT_EQ(s.link.comBaudRate, net ? "38400,e,8,1" : "115200,n,8,1");
    EXPECT_EQ(s.link.netIp, net ? "192.168.7.7" : "10.0.0.1");
    EXPECT_EQ(s.link.netPort, net ? "9000" : "4001");
    EXPECT_EQ(s.currentLanguage, text::Language::Traditional);
  }
}

TEST_F(QSettingsStoreTest, StoredTypeFiveSelectsTcpAndNextSaveWritesZeroOrOne) {
  WriteIni("[General]\nTYPE=5\n");
  Settings s = Load();
  EXPECT_EQ(s.link.linkKind, LinkKind::Tcp);

  QSettingsStore store;
  SaveLinkSettings(store, s.link, LinkControls{LinkKind::Serial, "COM2", "9600,n,8,1", "", ""});
  EXPECT_NE(IniText().find("TYPE=0\n"), std::string::npos) << IniText();
  EXPECT_EQ(Load().link.linkKind, LinkKind::Serial);
}

// Files as an operator might leave them after editing by hand.
TEST_F(QSettingsStoreTest, HandWrittenFiles) {
  using Change = std::function<void(Settings&)>;
  struct Case {
    const char* ini;
    Change expect;
  };
  const Change defaults = [](Settings&) {};
  const Case cases[] = {
      {"[General]\nComPortName=\n", [](Settings& s) { s.link.comPortName = ""; }},
      {"[General]\nLanguageFlag=chinesegb\n", [](Settings& s) { s.languageFlag = "chinesegb"; }},
      {"[General]\nTYPE=4294967295\n", [](Settings& s) { s.link.linkKind = LinkKind::Tcp; }},
      {"TYPE=1\nNetIP=10.0.0.2\n",
       [](Settings& s) {
         s.link.linkKind = LinkKind::Tcp;
         s.link.netIp = "10.0.0.2";
       }},
      // A TYPE that is no 32-bit number stops the reading at once.
      {"[General]\nTYPE=abc\nComPortName=/dev/ttyS1\nLanguageFlag=ChineseGB\n", defaults},
      // Unquoted commas make a list, which is no string: reading stops there.
      {"[General]\nTYPE=1\nComBaudRate=\"9600,n,8,1\"\nComPortName=/dev/ttyS1\n"
       "NetIP=10,0,0,1\nNetPort=6000\nLanguageFlag=ChineseGB\n",
       [](Settings& s) {
         s.link.linkKind = LinkKind::Tcp;
         s.link.comBaudRate = "9600,n,8,1";
         s.link.comPortName = "/dev/ttyS1";
       }},
      {"[General]\nComBaudRate=19200,e,8,1\nComPortName=/dev/ttyS1\n", defaults},
      // A number where a string belongs: that value and the later ones keep
      // their defaults, the earlier ones are read.
      {"[General]\nTYPE=1\nComBaudRate=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x5)\n"
       "ComPortName=/dev/ttyS1\n",
       [](Settings& s) { s.link.linkKind = LinkKind::Tcp; }},
      // Value names differ in letter case, or sit in another section: not ours.
      {"[General]\ntype=1\ncomportname=/dev/ttyS1\n", defaults},
      {"[Other]\nTYPE=1\nLanguageFlag=ChineseGB\n", defaults},
      // A line QSettings cannot parse does not hide the values it can.
      {"junk line\n[General]\nTYPE=1\nNetPort=6001\n",
       [](Settings& s) {
         s.link.linkKind = LinkKind::Tcp;
         s.link.netPort = "6001";
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ini);
    Clean();
    WriteIni(c.ini);
    Settings expected;
    c.expect(expected);
    expected.currentLanguage = text::LanguageFromFlag(expected.languageFlag);
    const Settings s = Load();
    EXPECT_EQ(s.link.linkKind, expected.link.linkKind);
    EXPECT_EQ(s.link.comBaudRate, expected.link.comBaudRate);
    EXPECT_EQ(s.link.comPortName, expected.link.comPortName);
    EXPECT_EQ(s.link.netIp, expected.link.netIp);
    EXPECT_EQ(s.link.netPort, expected.link.netPort);
    EXPECT_EQ(s.languageFlag, expected.languageFlag);
    EXPECT_EQ(s.currentLanguage, expected.currentLanguage);
  }
}

// TYPE is 0 for the COM tab and any other 32-bit number for the NET tab,
// negative ones included; only text that is no such number (or outside 32
// bits) is of the wrong type, and stops the reading at once.
TEST_F(QSettingsStoreTest, TypeIsAnyThirtyTwoBitNumber) {
  enum Result { Serial, Tcp, WrongType };
  const struct {
    const char* stored;
    Result result;
  } cases[] = {
      {"0", Serial},
      {"1", Tcp},
      {"5", Tcp},
      {"-1", Tcp},
      {"+5", Tcp},
      {"\" -2147483648\"", Tcp},
      {"-2147483648", Tcp},
      {"4294967295", Tcp},
      {"-0", Serial},
      {"+0", Serial},
      {"0000000000001", Tcp},
      {"\"\\t7 \"", Tcp},
      {"-2147483649", WrongType},
      {"4294967296", WrongType},
      {"99999999999999999999", WrongType},
      {"0x10", WrongType},
      {"", WrongType},
      {"1.0", WrongType},
      {"1e3", WrongType},
      {"- 1", WrongType},
      {"++1", WrongType},
      {"1 2", WrongType},
      {"\\x661", WrongType},
      {"0,1", WrongType},
      {"@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x1)", WrongType},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    Clean();
    WriteIni(std::string("[General]\nTYPE=") + c.stored + "\nComPortName=/dev/ttyS1\n");
    const Settings s = Load();
    EXPECT_EQ(s.link.linkKind, c.result == Tcp ? LinkKind::Tcp : LinkKind::Serial);
    EXPECT_EQ(s.link.comPortName, c.result == WrongType ? "COM1" : "/dev/ttyS1");
  }
}

// Every character, a leading U+FEFF too (QString::fromStdString drops it).
QString Utf16(const std::string& text) {
  QStringDecoder fromUtf8(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
  return fromUtf8(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
}

// Whatever an operator types into the link controls, and whatever language
// flag is stored, a save writes it so that the next start reads back
// exactly that, and so does QSettings.
TEST_F(QSettingsStoreTest, TypedTextsComeBackAsWritten) {
  const std::string texts[] = {
      "19200,e,8,1",
      "19200,e,8,1,@",
      ",@",
      "@",
      "@@",
      "@start",
      "@Variant(\\0\\0\\0\\x2)",
      "@String(x)",
      "@ByteArray(x)",
      "say \"hi\"",
      "\"",
      "back\\slash",
      "\\x40",
      "a;b",
      ";",
      "x=y",
      "#hash",
      "[General]",
      "[",
      " padded ",
      "  ",
      "\tx\t",
      "",
      "网路 網路",
      "串口一 /dev/ttyUSB0",
      "été 😀",
      "\xef\xbb\xbf"
      "COM1",  // U+FEFF first
      "\xef\xbb\xbf\xef\xbb\xbf",
      std::string("\x01") + "19200\x1f\x7f",
      std::string("a\0b", 3),
      std::string("\0", 1),
      "two\nlines\r\n",
      "%41%U4E2D",
      std::string(1000, 'x') + ",@" + std::string(1000, 'y'),
  };
  int n = 0;
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    const std::string ip = Utf16(text).left(15).toStdString();  // edIP's limit
    const fs::path ini = Home().Root() / ("typed" + std::to_string(n++) + ".ini");
    const QString path = QString::fromStdString(ini.string());
    LinkSettings link;
    {
      QSettingsStore store(path);
      SaveLinkSettings(store, link, LinkControls{LinkKind::Tcp, "", "", ip, text});
      SaveLinkSettings(store, link, LinkControls{LinkKind::Serial, text, text, "", ""});
      SaveLanguage(store, text);
    }
    QSettingsStore fresh(path);
    const Settings s = LoadSettings(fresh);
    EXPECT_EQ(s.link.linkKind, LinkKind::Serial);
    EXPECT_EQ(s.link.comPortName, text);
    EXPECT_EQ(s.link.comBaudRate, text);
    EXPECT_EQ(s.link.netIp, ip);
    EXPECT_EQ(s.link.netPort, text);
    EXPECT_EQ(s.languageFlag, text);

    // QSettings, reading a copy (it caches files by name), agrees.
    const fs::path copy = Home().Root() / ("copy" + std::to_string(n) + ".ini");
    fs::copy_file(ini, copy);
    const QSettings raw(QString::fromStdString(copy.string()), QSettings::IniFormat);
    const QString expected = Utf16(text);
    for (const char* name :
         {kValueComPortName, kValueComBaudRate, kValueNetPort, kValueLanguageFlag}) {
      EXPECT_EQ(raw.value(name).typeId(), QMetaType::QString) << name;
      EXPECT_EQ(raw.value(name).toString(), expected) << name;
    }
    EXPECT_EQ(raw.value(kValueType).toInt(), 0);
  }
}

// Typed into the line settings, "19200,e,8,1,@" used to make the next start
// refuse the whole file: the language and the link were lost, and every later
// save was refused.
TEST_F(QSettingsStoreTest, LineSettingsEndingInAtSignKeepTheRestOfTheFile) {
  QSettingsStore store;
  SaveLanguage(store, "ChineseGB");
  LinkSettings link;
  SaveLinkSettings(store, link,
                   LinkControls{LinkKind::Serial, "/dev/ttyUSB0", "19200,e,8,1,@", "", ""});
  Settings s = Load();
  EXPECT_EQ(s.link.comBaudRate, "19200,e,8,1,@");
  EXPECT_EQ(s.link.comPortName, "/dev/ttyUSB0");
  EXPECT_EQ(s.currentLanguage, text::Language::Simplified);

  SaveLanguage(store, "ChineseBIG5");
  s = Load();
  EXPECT_EQ(s.currentLanguage, text::Language::Traditional);
  EXPECT_EQ(s.link.comBaudRate, "19200,e,8,1,@");
}

// The store's folder cannot be created (a file stands in its place): the
// saves store nothing and the next start has the defaults.
TEST_F(QSettingsStoreTest, UncreatableFolderSavesNothing) {
  std::ofstream(Folder()) << "not a folder";
  QSettingsStore store;
  EXPECT_FALSE(store.Open(true));
  SaveLanguage(store, "ChineseGB");
  LinkSettings link;
  SaveLinkSettings(store, link, LinkControls{LinkKind::Tcp, "", "", "10.0.0.3", "7"});
  EXPECT_TRUE(fs::is_regular_file(Folder()));
  EXPECT_EQ(Load().languageFlag, "English");
}

// Saves replace the file through a new one beside it, so a folder that
// cannot be written stores nothing, also where the file itself could be:
// the file stays whole.
TEST_F(QSettingsStoreTest, ReadOnlyFolderSavesNothing) {
  AsUnprivilegedUser([] {
    fs::create_directories(Folder());
    fs::permissions(Folder(), fs::perms::owner_read | fs::perms::owner_exec);
    QSettingsStore store;
    SaveLanguage(store, "ChineseGB");
    EXPECT_FALSE(fs::exists(IniPath()));

    const std::string original = "[General]\nLanguageFlag=ChineseBIG5\n";
    fs::permissions(Folder(), fs::perms::owner_all);
    WriteIni(original);
    fs::permissions(Folder(), fs::perms::owner_read | fs::perms::owner_exec);
    SaveLanguage(store, "ChineseGB");
    LinkSettings link;
    SaveLinkSettings(store, link, LinkControls{LinkKind::Tcp, "", "", "10.0.0.3", "7"});
    EXPECT_EQ(link.netIp, LinkSettings().netIp);
    EXPECT_EQ(IniText(), original);
    EXPECT_EQ(Load().languageFlag, "ChineseBIG5");
  });
}

// An unreadable file gives the defaults, and no save replaces what it holds.
TEST_F(QSettingsStoreTest, UnreadableFileIsNeitherUsedNorOverwritten) {
  AsUnprivilegedUser([] {
    const std::string original = "[General]\nLanguageFlag=ChineseGB\nNetIP=10.9.9.9\n";
    WriteIni(original);
    fs::permissions(IniPath(), fs::perms::owner_write);
    EXPECT_EQ(Load().languageFlag, "English");
    QSettingsStore store;
    SaveLanguage(store, "English");
    fs::permissions(IniPath(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(IniText(), original);
  });
}

}  // namespace
}  // namespace ql::settings
