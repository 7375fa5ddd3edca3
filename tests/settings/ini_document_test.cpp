// The INI reader and editor against QSettings itself: files QSettings can
// read safely must mean the same to both, texts must be written byte for
// byte as QSettings writes them, and an edit must change nothing but the
// value it stores.
#include "settings/ini_document.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QVariant>
#include <string>

namespace ql::settings {
namespace {

using Kind = IniValue::Kind;

QByteArray Bytes(const std::string& text) {
  return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

class IniDocumentTest : public ::testing::Test {
 protected:
  // A fresh file for every QSettings read: QSettings keeps parsed files by
  // name and trusts their size and time stamp.
  QString Write(const QByteArray& bytes) {
    const QString path = folder_.filePath(QStringLiteral("f%1.ini").arg(count_++));
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return path;
  }

  // What QSettings writes after "V=" for the string `text`.
  QByteArray QSettingsEscaped(const QString& text) {
    const QString path = folder_.filePath(QStringLiteral("w%1.ini").arg(count_++));
    QSettings(path, QSettings::IniFormat).setValue(QStringLiteral("V"), text);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    const QByteArray prefix = "[General]\nV=";
    EXPECT_TRUE(bytes.startsWith(prefix) && bytes.endsWith('\n')) << bytes.toStdString();
    return bytes.mid(prefix.size(), bytes.size() - prefix.size() - 1);
  }

  // Every value of `bytes` read by QSettings equals the document's. Only for
  // files without a serialised object: QSettings would rebuild it.
  void ExpectSameAsQSettings(const QByteArray& bytes) {
    const IniDocument document(bytes);
    QSettings settings(Write(bytes), QSettings::IniFormat);
    QStringList ours;
    for (const auto& [key, value] : document.Values()) {
      ASSERT_NE(value.kind, Kind::Serialised) << key.toStdString();
      ours << key;
    }
    EXPECT_EQ(settings.allKeys(), ours);
    for (const auto& [key, value] : document.Values()) {
      SCOPED_TRACE(key.toStdString());
      // QSettings looks a key up with empty parts dropped ("X/" as "X"), so
      // a value stored under such a key cannot be asked for.
      if (key.isEmpty() || key.startsWith(u'/') || key.endsWith(u'/') || key.contains(u"//")) {
        continue;
      }
      const QVariant theirs = settings.value(key);
      switch (value.kind) {
        case Kind::Text:
          ASSERT_EQ(theirs.typeId(), QMetaType::QString);
          EXPECT_EQ(theirs.toString(), value.text);
          break;
        case Kind::TextList:
          ASSERT_EQ(theirs.typeId(), QMetaType::QStringList);
          EXPECT_EQ(theirs.toStringList(), value.list);
          break;
        default:
          EXPECT_NE(theirs.typeId(), QMetaType::QString);
          EXPECT_NE(theirs.typeId(), QMetaType::QStringList);
      }
    }
  }

  QTemporaryDir folder_;
  int count_ = 0;
};

// Hand edits and odd corners of the format, read as QSettings reads them.
TEST_F(IniDocumentTest, ReadsFilesAsQSettingsDoes) {
  const std::string files[] = {
      "[General]\nTYPE=1\nComBaudRate=\"19200,e,8,1\"\nComPortName=COM1\n",
      // Before the first section is the top level too; the last one wins.
      "TYPE=1\n[General]\nTYPE=2\n[general]\nNetIP=x\n[%General]\nTYPE=3\n",
      "a=x,y , z\nb=\"x,y\"\nc= \"q\" r \nd=\\x41\\101\\q\\\"\\\\\\?\\'\n",
      "; comment\n  a = 1 ; trailing\n#hash=2\n[X]\n;c\n   [Y]\nk=w\n[X]\nk2=v2\n",
      "\xef\xbb\xbf[General]\r\na=b\r\nc=d\r\n\r\n",
      "a=\"multi\nline\"\nb=2\n",
      "a=abc\\\nb=2\nc=\\\r\nd\n",
      "%54YPE=1\nk%20y=2\nU%U4E2D=3\n%4=4\n%G1=5\n",
      "a=@@x\nb=@x\nc=@String(a\\0b)\nd=@ByteArray(xy)\ne=@Rect(1 2 3 4)\nf=@Rect(1 2)\n"
      "g=@Invalid()\nh=@@x,@@y\ni=@x,y\nj=@Size(1 2)\nk=@Point(1 2)\nl=@\n",
      "a=\xe7\xbd\x91\\n\xe8\xb7\xaf\nb=\xff\xfe\nc=\xe7\\t\xbd\x91\n",
      "junk\n[broken\na=1\n=novalue\n  =x\nb\n",
      "a=\"unterminated\nb=2\n[X]\nc=3\n",
      "a=x\\x\nb=\\x41g\nc=\\xd800\nd=\\x10041\ne=\\400\n",
      "a=\\\nb=  x  \\",
      "k=1;2\nj=\"1;2\"\nm=a=b\n",
      "[X\\Y]\nk=1\n[X]\nY\\k=2\nX\\Y\\k=3\n",
      "a=\"\" \"\"\nb=\"x\"\"y\"\nc=,\nd= , \ne=\"a\" , b\n",
      "[ General ]\na=1\n[]\nb=2\n",
      // The lines before the first section are read from the very start, a
      // byte-order mark included (the last one found by fuzzing).
      "\xef\xbb\xbf  TYPE=1\n",
      "\xef\xbb\xbf\xef\xbb\xbfTYPE=1\n",
      "\xef\xbb\xbf;c\nTYPE=1\n",
      "\xef\xbb\xbf\n  TYPE=1\n",
      "\xef\xbb\xbf\"a=b\"=1\n",
      "\xef\xbb\xbf\xef\xbb\xbf[Generam\xd6\x82\xa2\xe3\xfc\x7f=\"10.0.n ;o444eral]\a,\a05.k\a",
  };
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    ExpectSameAsQSettings(Bytes(file));
  }
}

// Values QSettings would rebuild objects from, whichever way they are
// spelled, are recognised without being rebuilt; near misses are texts.
TEST_F(IniDocumentTest, TellsSerialisedValuesFromTexts) {
  const struct {
    const char* line;
    Kind kind;
    const char* text;
  } cases[] = {
      {"V=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x5)", Kind::Serialised, nullptr},
      {"V=\"@Variant(x)\"", Kind::Serialised, nullptr},
      {"V=\\x40Variant(x)", Kind::Serialised, nullptr},
      {"V=\\100Variant(x)", Kind::Serialised, nullptr},
      {"V=\\x10040Variant(x)", Kind::Serialised, nullptr},
      {"V=@DateTime(x)", Kind::Serialised, nullptr},
      {"V=1, @Variant(x)", Kind::Serialised, nullptr},
      {"V=@ByteArray(x)", Kind::Other, nullptr},
      {"V=19200,e,8,1,@", Kind::Other, nullptr},
      {"V=19200,e,8,1", Kind::TextList, nullptr},
      {"V=@Variant(x", Kind::Text, "@Variant(x"},
      {"V=@@Variant(x)", Kind::Text, "@Variant(x)"},
      {"V=\"x,@Variant(x)\"", Kind::Text, "x,@Variant(x)"},
      {"V=\"19200,e,8,1,@\"", Kind::Text, "19200,e,8,1,@"},
      {"V=@String(@Variant(x))", Kind::Text, "@Variant(x)"},
      {"V=@Point(1 2 3)", Kind::Text, "@Point(1 2 3)"},
      {"V=user@host", Kind::Text, "user@host"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const std::optional<IniValue> value =
        IniDocument(QByteArray("[General]\n") + c.line + "\n").TopLevel(QStringLiteral("V"));
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->kind, c.kind);
    if (c.text != nullptr) {
      EXPECT_EQ(value->text, QString::fromUtf8(c.text));
    }
  }
}

// Texts an operator can type, and worse: written byte for byte as QSettings
// writes them, and read back by both exactly.
TEST_F(IniDocumentTest, EscapesTextsAsQSettingsDoes) {
  const QString texts[] = {"19200,e,8,1",
                           "19200,e,8,1,@",
                           "@",
                           "@@",
                           "@start",
                           "@Variant(\\0)",
                           "@String(x)",
                           "say \"hi\"",
                           "back\\slash",
                           "a;b",
                           "x=y",
                           "#hash",
                           "[General]",
                           " padded ",
                           "\tpadded\t",
                           "x ",
                           "",
                           QString::fromUtf8("网路 網路"),
                           QString::fromUtf8("été 😀"),
                           QString::fromLatin1("\x01"
                                               "19200\x1f"
                                               "a\x7f"),
                           QString::fromLatin1("a\0b\0"
                                               "1",
                                               5),
                           QString::fromLatin1("\0", 1),
                           "a\nb\r\nc",
                           QString::fromUtf8("\u00a0x\u2028"),
                           QString(300, u'Z'),
                           ";",
                           "\"",
                           "=",
                           ",",
                           "\\x41",
                           "%41"};
  for (const QString& text : texts) {
    SCOPED_TRACE(text.toStdString());
    const QByteArray escaped = IniEscapedString(text);
    EXPECT_EQ(escaped, QSettingsEscaped(text));
    const QByteArray file = "[General]\nV=" + escaped + "\n";
    const std::optional<IniValue> value = IniDocument(file).TopLevel(QStringLiteral("V"));
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->kind, Kind::Text);
    EXPECT_EQ(value->text, text);
    ExpectSameAsQSettings(file);
  }
}

// QSettings writes U+FEFF as UTF-8 and then drops it when it begins the
// first run of UTF-8 in a value, taking it for a byte-order mark (found by
// fuzzing): written as an escape, it comes back, to QSettings too.
TEST_F(IniDocumentTest, ByteOrderMarkCharacterInTextsComesBack) {
  const QChar mark(0xFEFF);
  const QString texts[] = {QString(mark) + "abc", QString::fromLatin1("\x01") + mark + "f",
                           "a" + QString(mark), QString(mark), "\"" + QString(mark) + ",\""};
  for (const QString& text : texts) {
    SCOPED_TRACE(text.toStdString());
    const QByteArray file = "[General]\nV=" + IniEscapedString(text) + "\n";
    EXPECT_FALSE(file.contains("\xef\xbb\xbf"));
    const std::optional<IniValue> value = IniDocument(file).TopLevel(QStringLiteral("V"));
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->text, text);
    ExpectSameAsQSettings(file);
  }
}

// An edit replaces the line of the value it stores, or adds one where
// QSettings keeps the top level; every other byte stays.
TEST_F(IniDocumentTest, EditsOnlyTheValueItStores) {
  const struct {
    std::string before;
    const char* name;
    const char* text;
    std::string after;
  } cases[] = {
      {"", "LanguageFlag", "ChineseGB", "[General]\nLanguageFlag=ChineseGB\n"},
      {" \n", "TYPE", "1", "[General]\nTYPE=1\n"},
      {"[General]\nTYPE=1\n", "LanguageFlag", "x", "[General]\nTYPE=1\nLanguageFlag=x\n"},
      {"; my notes\n[General]\nTYPE=1 ; keep\nNetIP=10.0.0.1\n\n[Other]\nKey=@Variant(\\0)\n",
       "TYPE", "0",
       "; my notes\n[General]\nTYPE=0; keep\nNetIP=10.0.0.1\n\n[Other]\nKey=@Variant(\\0)\n"},
      {"[Other]\nk=1\n", "TYPE", "1", "[General]\nTYPE=1\n\n[Other]\nk=1\n"},
      {"\xef\xbb\xbf[Other]\nk=1\n", "TYPE", "1",
       "\xef\xbb\xbf[General]\nTYPE=1\n\n[Other]\nk=1\n"},
      {"TYPE=1\nTYPE=2\n", "TYPE", "3", "TYPE=1\nTYPE=3\n"},
      {"\xef\xbb\xbfTYPE=1\n", "TYPE", "2", "\xef\xbb\xbfTYPE=2\n"},
      {"TYPE=1\n[X]\nk=2\n", "NetIP", "a", "TYPE=1\nNetIP=a\n[X]\nk=2\n"},
      {"[General]\nTYPE=1\n; end\n[X]\n", "NetIP", "a", "[General]\nTYPE=1\nNetIP=a\n; end\n[X]\n"},
      {"[General]\r\nTYPE=1\r\n", "NetIP", "a", "[General]\r\nTYPE=1\nNetIP=a\r\n"},
      {"[General]\nComBaudRate=@Variant(\\0\\0\\0\\t(\\0\\0\\0\\x2)\nTYPE=1\n", "ComBaudRate",
       "19200,e,8,1,@", "[General]\nComBaudRate=\"19200,e,8,1,@\"\nTYPE=1\n"},
      {"[General]\nNetIP=\"a\nb\"\nTYPE=1\n", "NetIP", "@", "[General]\nNetIP=@@\nTYPE=1\n"},
      // Cut off inside quotes: a line after it would be swallowed.
      {"[General]\nNetIP=\"10.0.0.1\n", "TYPE", "1", "[General]\nTYPE=1\nNetIP=\"10.0.0.1\n"},
      {"NetIP=\"10.0.0.1\n", "TYPE", "1", "[General]\nTYPE=1\n\nNetIP=\"10.0.0.1\n"},
      {"[X]\nk=\"open\n[General]\n", "TYPE", "1",
       "[General]\nTYPE=1\n\n[X]\nk=\"open\n[General]\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    IniDocument document(Bytes(c.before));
    const auto before = document.Values();
    ASSERT_TRUE(document.SetTopLevel(QString::fromUtf8(c.name), QString::fromUtf8(c.text)));
    EXPECT_EQ(document.Bytes().toStdString(), c.after);
    auto expected = before;
    IniValue written;
    written.text = QString::fromUtf8(c.text);
    expected.insert_or_assign(QString::fromUtf8(c.name), written);
    EXPECT_EQ(IniDocument(document.Bytes()).Values(), expected);
  }
  IniDocument document(QByteArray("TYPE=1\n"));
  EXPECT_FALSE(document.SetTopLevel(QStringLiteral("a/b"), QStringLiteral("x")));
  EXPECT_FALSE(document.SetTopLevel(QString(), QStringLiteral("x")));
  EXPECT_EQ(document.Bytes(), "TYPE=1\n");
}

}  // namespace
}  // namespace ql::settings
