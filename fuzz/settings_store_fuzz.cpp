// Writes arbitrary bytes as the settings INI file, then checks what must
// hold whatever the file says:
//  - the reader agrees with QSettings on every value of every section,
//    whenever the file holds nothing QSettings would deserialise (only then
//    is QSettings let near it);
//  - the load follows the rules: each text setting is its default when
//    absent or exactly the stored text, TYPE selects TCP for a non-zero
//    32-bit number, and the first value that is no text (or a TYPE that is
//    no number) stops the reading, it and every later value keeping their
//    defaults; the language follows the flag;
//  - saving into that very file (the whole input as the language flag, then
//    the loaded link) stores exactly the values saved and leaves every other
//    value of the file as it was, and QSettings reads the saved values alike;
//  - what was loaded survives being saved to a new file and loaded again.
#include <QFile>
#include <QSettings>
#include <QString>
#include <QStringDecoder>
#include <QVariant>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "settings/ini_document.h"
#include "settings/qsettings_store.h"
#include "settings/settings.h"
#include "text/language.h"

namespace {

using namespace ql::settings;
using namespace ql::link;

using ql::fuzz::Require;
using Kind = IniValue::Kind;

const std::filesystem::path& Folder() {
  // In memory where there is a tmpfs: every save syncs the file to disk.
  std::error_code error;
  return ql::fuzz::TempFolder(std::filesystem::is_directory("/dev/shm", error)
                                  ? std::filesystem::path("/dev/shm")
                                  : std::filesystem::temp_directory_path(),
                              "ql-fuzz-settings");
}

// A fresh name for every file: QSettings keeps parsed files by name and
// trusts their size and time stamp.
QString FreshPath() {
  static std::uint64_t counter = 0;
  const auto path = Folder() / (std::to_string(counter++) + ".ini");
  return QString::fromStdString(path.string());
}

QString WriteFresh(const QByteArray& bytes) {
  const QString path = FreshPath();
  ql::fuzz::WriteFile(path.toStdString(), reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                      static_cast<std::size_t>(bytes.size()));
  return path;
}

QByteArray ReadBytes(const QString& path) {
  QFile file(path);
  Require(file.open(QIODevice::ReadOnly), "read back");
  return file.readAll();
}

// Every character, a leading U+FEFF too (QString::fromStdString drops it).
QString Utf16(const std::string& text) {
  QStringDecoder fromUtf8(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
  return fromUtf8(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
}

struct TextSetting {
  const char* name;
  std::string Settings::*group;
  std::string LinkSettings::*link;
  const char* fallback;
};

const std::string& Get(const Settings& settings, const TextSetting& setting) {
  return setting.link != nullptr ? settings.link.*(setting.link) : settings.*(setting.group);
}

// The text values in the order they are read.
const std::array<TextSetting, 5> kTexts = {{
    {kValueComBaudRate, nullptr, &LinkSettings::comBaudRate, kDefaultComBaudRate},
    {kValueComPortName, nullptr, &LinkSettings::comPortName, kDefaultComPortName},
    {kValueNetIp, nullptr, &LinkSettings::netIp, kDefaultNetIp},
    {kValueNetPort, nullptr, &LinkSettings::netPort, kDefaultNetPort},
    {kValueLanguageFlag, &Settings::languageFlag, nullptr, "English"},
}};

bool HoldsSerialised(const IniDocument& document) {
  for (const auto& [key, value] : document.Values()) {
    if (value.kind == Kind::Serialised) {
      return true;
    }
  }
  return false;
}

// Every value as QSettings reads it, on a copy of the file.
void CheckAgainstQSettings(const IniDocument& document) {
  if (HoldsSerialised(document)) {
    return;
  }
  const QString copy = WriteFresh(document.Bytes());
  const QSettings settings(copy, QSettings::IniFormat);
  QStringList keys = settings.allKeys();
  std::filesystem::remove(copy.toStdString());
  QStringList ours;
  for (const auto& [key, value] : document.Values()) {
    ours << key;
  }
  Require(keys == ours, "QSettings finds the same keys");
  for (const auto& [key, value] : document.Values()) {
    // QSettings looks keys up with empty parts dropped.
    if (key.isEmpty() || key.startsWith(u'/') || key.endsWith(u'/') || key.contains(u"//")) {
      continue;
    }
    const QVariant theirs = settings.value(key);
    switch (value.kind) {
      case Kind::Text:
        Require(theirs.typeId() == QMetaType::QString && theirs.toString() == value.text,
                "QSettings reads the same text");
        break;
      case Kind::TextList:
        Require(theirs.typeId() == QMetaType::QStringList && theirs.toStringList() == value.list,
                "QSettings reads the same list");
        break;
      default:
        Require(theirs.typeId() != QMetaType::QString && theirs.typeId() != QMetaType::QStringList,
                "QSettings reads no text where there is none");
    }
  }
}

// TYPE as the rules read it: blanks, an optional sign, decimal digits, from
// -2^31 to 2^32 - 1.
std::optional<std::int64_t> TypeNumber(const QString& text) {
  static const std::regex kNumber("^[ \\t\\n\\v\\f\\r]*([+-]?)0*([0-9]{1,11})[ \\t\\n\\v\\f\\r]*$");
  const std::string s = text.toStdString();
  std::smatch match;
  if (!std::regex_match(s, match, kNumber)) {
    return std::nullopt;
  }
  const std::int64_t magnitude = std::stoll(match[2].str());
  const std::int64_t number = match[1].str() == "-" ? -magnitude : magnitude;
  if (number < -2147483648LL || number > 4294967295LL) {
    return std::nullopt;
  }
  return number;
}

void CheckLoad(const Settings& loaded, const IniDocument& document) {
  bool stopped = false;
  LinkKind kind = LinkKind::Serial;
  if (const auto type = document.TopLevel(QString::fromLatin1(kValueType))) {
    const auto number =
        type->kind == Kind::Text ? TypeNumber(type->text) : std::optional<std::int64_t>();
    stopped = !number;
    kind = number && *number != 0 ? LinkKind::Tcp : LinkKind::Serial;
  }
  Require(loaded.link.linkKind == kind, "TYPE selects the link");
  for (const TextSetting& setting : kTexts) {
    const auto stored = document.TopLevel(QString::fromLatin1(setting.name));
    stopped = stopped || (stored && stored->kind != Kind::Text);
    const std::string expected =
        stopped || !stored ? std::string(setting.fallback) : stored->text.toStdString();
    if (Get(loaded, setting) != expected) {
      std::fprintf(stderr, "%s: loaded '%s', expected '%s'\n", setting.name,
                   Get(loaded, setting).c_str(), expected.c_str());
      Require(false, "a text value is its default or what the file holds");
    }
  }
  Require(loaded.currentLanguage == ql::text::LanguageFromFlag(loaded.languageFlag),
          "the language follows its flag");
}

// A save writes its values one after the other, as the store does, and ends
// at the first it cannot make: one where no edit keeps every other value of
// the file as it was (a quote that never closes, say). The file must then
// hold exactly the values written before it, every other value as it was.
// True when every value was stored.
bool CheckEdit(const IniDocument& before, const IniDocument& after,
               const std::vector<std::pair<QString, QString>>& written) {
  IniDocument expected(before.Bytes());
  bool all = true;
  for (const auto& [name, text] : written) {
    if (!expected.SetTopLevel(name, text)) {
      all = false;
      break;
    }
  }
  const std::map<QString, IniValue>& found = after.Values();
  if (found != expected.Values()) {
    for (const auto& [name, value] : expected.Values()) {
      const auto at = found.find(name);
      if (at == found.end() || !(at->second == value)) {
        std::fprintf(stderr, "value '%s': expected '%s', found '%s'\n", name.toUtf8().constData(),
                     value.text.toUtf8().constData(),
                     at == found.end() ? "(none)" : at->second.text.toUtf8().constData());
      }
    }
    for (const auto& [name, value] : found) {
      if (expected.Values().count(name) == 0) {
        std::fprintf(stderr, "value '%s' appeared: '%s'\n", name.toUtf8().constData(),
                     value.text.toUtf8().constData());
      }
    }
  }
  Require(found == expected.Values(), "a save changes only the values it stores");
  CheckAgainstQSettings(after);
  return all;
}

Settings Load(const QString& path) {
  QSettingsStore store(path);
  return LoadSettings(store);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  const IniDocument document(bytes);
  CheckAgainstQSettings(document);

  const QString path = WriteFresh(bytes);
  const Settings loaded = Load(path);
  CheckLoad(loaded, document);

  // Saved into the same file: first a language choice, then a handshake.
  const std::string flag = Utf16(bytes.toStdString()).toStdString();
  {
    QSettingsStore store(path);
    SaveLanguage(store, flag);
  }
  const IniDocument afterLanguage(ReadBytes(path));
  const bool languageStored =
      CheckEdit(document, afterLanguage, {{QString::fromLatin1(kValueLanguageFlag), Utf16(flag)}});
  LinkSettings link = loaded.link;
  {
    QSettingsStore store(path);
    const LinkControls controls{loaded.link.linkKind, link.comPortName, link.comBaudRate,
                                link.netIp, link.netPort};
    SaveLinkSettings(store, link, controls);
  }
  const IniDocument afterLink(ReadBytes(path));
  CheckEdit(afterLanguage, afterLink,
            {{QString::fromLatin1(kValueType), link.linkKind == LinkKind::Tcp ? "1" : "0"},
             {QString::fromLatin1(kValueNetPort), Utf16(link.netPort)},
             {QString::fromLatin1(kValueNetIp), Utf16(link.netIp)},
             {QString::fromLatin1(kValueComBaudRate), Utf16(link.comBaudRate)},
             {QString::fromLatin1(kValueComPortName), Utf16(link.comPortName)}});
  const Settings edited = Load(path);
  Require(edited.link.linkKind == loaded.link.linkKind, "edited file: link kind");
  for (const TextSetting& setting : kTexts) {
    const std::string& expected =
        setting.link != nullptr || !languageStored ? Get(loaded, setting) : flag;
    Require(Get(edited, setting) == expected, "edited file: every saved value comes back");
  }

  // Saved from memory into a new file, and loaded again.
  const QString savedPath = FreshPath();
  {
    QSettingsStore store(savedPath);
    LinkSettings saved = loaded.link;
    const LinkControls controls{loaded.link.linkKind, saved.comPortName, saved.comBaudRate,
                                saved.netIp, saved.netPort};
    SaveLinkSettings(store, saved, controls);
    SaveLanguage(store, loaded.languageFlag);
  }
  const Settings again = Load(savedPath);
  Require(again.link.linkKind == loaded.link.linkKind, "round trip: link kind");
  for (const TextSetting& setting : kTexts) {
    if (Get(again, setting) != Get(loaded, setting)) {
      std::fprintf(stderr, "%s: loaded '%s', after saving '%s'\n", setting.name,
                   Get(loaded, setting).c_str(), Get(again, setting).c_str());
      Require(false, "round trip: text value");
    }
  }
  Require(again.currentLanguage == loaded.currentLanguage, "round trip: language");

  std::filesystem::remove(path.toStdString());
  std::filesystem::remove(savedPath.toStdString());
  return 0;
}
