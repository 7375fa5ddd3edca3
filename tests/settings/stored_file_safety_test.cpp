// Settings files as fuzzing found them. Those that would make QSettings
// rebuild serialised objects: the store must neither parse them nor write
// over them, and files this program writes must never look like them. Others
// are read by the usual rules, however garbled around the values.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QString>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "settings/qsettings_store.h"
#include "settings/settings.h"

namespace ql::settings {
namespace {

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

  std::string Read() const {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path folder_;
  fs::path path_;
  int count_ = 0;
};

void ExpectDefaults(const Settings& s) {
  const Settings defaults;
  EXPECT_EQ(s.link.linkKind, defaults.link.linkKind);
  EXPECT_EQ(s.link.comPortName, defaults.link.comPortName);
  EXPECT_EQ(s.link.comBaudRate, defaults.link.comBaudRate);
  EXPECT_EQ(s.link.netIp, defaults.link.netIp);
  EXPECT_EQ(s.link.netPort, defaults.link.netPort);
  EXPECT_EQ(s.languageFlag, defaults.languageFlag);
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

// Whatever the file holds, loading gives the defaults at once and no save
// changes a byte of it.
TEST_F(StoredFileSafety, SerialisedValuesAreNeitherParsedNorOverwritten) {
  const std::string variantInt = "@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x5)";
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      // Found by fuzzing: a list claiming 671 million elements, 21 GB.
      {"huge list",
       std::string("[General]\nTYPE=@Variant(\\0\\0\\0\\t(\\0\\0\\0\\x2)\nComPortName=@ral]3)\n")},
      // Overflowed the stack while QSettings parsed it.
      {"deep nesting", NestedVariant(100000)},
      {"value", "[General]\nComPortName=" + variantInt + "\n"},
      {"quoted value", "[General]\nComPortName=\"" + variantInt + "\"\n"},
      {"list element", "[General]\nNetIP=10.0.0.1, " + variantInt + "\n"},
      {"escaped @", "[General]\nNetIP=\\x40Variant(\\0\\0\\0\\x2\\0\\0\\0\\x5)\n"},
      {"octal @", "[General]\nNetIP=\\100Variant(\\0\\0\\0\\x2\\0\\0\\0\\x5)\n"},
      {"other section", "[General]\nTYPE=1\n[Other]\nKey=" + variantInt + "\n"},
      {"after good values", "[General]\nTYPE=1\nNetPort=6001\nLanguageFlag=" + variantInt + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    QSettingsStore store(Write(c.bytes));
    ExpectDefaults(LoadSettings(store));

    LinkSettings link;
    SaveLinkSettings(store, link, LinkControls{LinkKind::Tcp, "COM2", "9600", "10.1.1.1", "7"});
    SaveLanguage(store, "ChineseGB");
    EXPECT_TRUE(Read() == c.bytes) << "the file was written over";
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
// begin: the program's own files never count as unsafe. (A text holding
// ",@" would: list elements are looked for without regard to quotes.)
TEST_F(StoredFileSafety, SavedTextsBeginningWithAtOrEscapesComeBack) {
  const std::string controlFirst = std::string("\x01") + "19200";
  QSettingsStore store(Write(""));
  LinkSettings link{LinkKind::Serial, "@COM1", controlFirst, "@", "@@5003"};
  SaveLinkSettings(store, link, LinkControls{LinkKind::Serial, "@COM1", controlFirst, "", ""});
  SaveLanguage(store, "@ChineseGB");

  const Settings s = LoadSettings(store);
  EXPECT_EQ(s.link.comPortName, "@COM1");
  EXPECT_EQ(s.link.comBaudRate, controlFirst);
  EXPECT_EQ(s.link.netIp, "@");
  EXPECT_EQ(s.link.netPort, "@@5003");
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

}  // namespace
}  // namespace ql::settings
