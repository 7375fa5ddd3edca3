// Writes arbitrary bytes as the settings INI file and loads the settings
// from it through the QSettings store, then checks what must hold whatever
// the file says (a file the store refuses to read gives the defaults):
//  - every text setting is either its default or exactly the stored text
//    (up to a NUL), and a stored value that is not plain text (a list, a
//    number or any other variant) stops the reading there: it and every
//    later value keep their defaults;
//  - TYPE selects TCP only when it reads as a non-zero 32-bit number, and a
//    TYPE that does not read as one stops the reading at once;
//  - the language follows the flag;
//  - what was loaded survives being saved and loaded again unchanged.
#include <unistd.h>

#include <QSettings>
#include <QString>
#include <QVariant>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "settings/qsettings_store.h"
#include "settings/settings.h"
#include "text/language.h"

namespace {

using namespace ql::settings;

using ql::fuzz::Require;

const std::filesystem::path& Folder() {
  // In memory where there is a tmpfs: every save syncs the file to disk.
  std::error_code error;
  return ql::fuzz::TempFolder(std::filesystem::is_directory("/dev/shm", error)
                                  ? std::filesystem::path("/dev/shm")
                                  : std::filesystem::temp_directory_path(),
                              "ql-fuzz-settings");
}

// A fresh name for every file: QSettings keeps parsed files by name and
// trusts their size and time stamp, which two inputs written within the
// same millisecond can share.
QString FreshPath() {
  static std::uint64_t counter = 0;
  const auto path = Folder() / (std::to_string(counter++) + ".ini");
  return QString::fromStdString(path.string());
}

void WriteFile(const QString& path, const std::uint8_t* data, std::size_t size) {
  ql::fuzz::WriteFile(path.toStdString(), data, size);
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

std::string CutAtNul(std::string text) {
  if (const auto nul = text.find('\0'); nul != std::string::npos) {
    text.resize(nul);
  }
  return text;
}

// TYPE as a plain decimal 32-bit number, when it is one (leading zeros
// allowed).
std::optional<std::uint64_t> PlainNumber(const QVariant& value) {
  if (value.typeId() != QMetaType::QString) {
    return std::nullopt;
  }
  const QString text = value.toString();
  if (text.isEmpty()) {
    return std::nullopt;
  }
  std::uint64_t number = 0;
  for (const QChar c : text) {
    if (c < u'0' || c > u'9') {
      return std::nullopt;
    }
    number = number * 10 + (c.unicode() - u'0');
    if (number > 0xFFFFFFFFu) {
      return std::nullopt;
    }
  }
  return number;
}

void CheckAgainstFile(const Settings& loaded, const QString& path) {
  // A file the store will not read gives the defaults; QSettings is not let
  // near it here either.
  QSettingsStore probe(path);
  if (!probe.Open(false)) {
    const Settings defaults;
    for (const TextSetting& setting : kTexts) {
      Require(Get(loaded, setting) == Get(defaults, setting), "unread file gives defaults");
    }
    Require(loaded.link.linkKind == LinkKind::Serial, "unread file gives the serial link");
    return;
  }
  probe.Close();
  const QSettings raw(path, QSettings::IniFormat);
  const bool anyValue = !raw.childKeys().isEmpty();

  bool stopped = false;
  if (anyValue && raw.contains(kValueType)) {
    const QVariant type = raw.value(kValueType);
    if (const auto number = PlainNumber(type)) {
      Require(loaded.link.linkKind == (*number == 0 ? LinkKind::Serial : LinkKind::Tcp),
              "TYPE selects the link");
    } else if (type.typeId() == QMetaType::QString || type.typeId() == QMetaType::QStringList) {
      // Text that is not a 32-bit number, or a list: not an integer value.
      stopped = true;
    }
  } else {
    Require(loaded.link.linkKind == LinkKind::Serial, "no TYPE is the serial link");
  }
  if (stopped) {
    Require(loaded.link.linkKind == LinkKind::Serial, "unreadable TYPE is the serial link");
  }

  for (const TextSetting& setting : kTexts) {
    const std::string& value = Get(loaded, setting);
    if (!anyValue || !raw.contains(setting.name)) {
      if (!stopped) {
        Require(value == setting.fallback, "absent value keeps its default");
      }
      continue;
    }
    const QVariant stored = raw.value(setting.name);
    if (stopped || stored.typeId() != QMetaType::QString) {
      Require(value == setting.fallback, "values from the first unreadable one keep defaults");
      stopped = true;
      continue;
    }
    Require(value == CutAtNul(stored.toString().toStdString()) || value == setting.fallback,
            "a text value is what the file holds");
  }
  Require(loaded.currentLanguage == ql::text::LanguageFromFlag(loaded.languageFlag),
          "the language follows its flag");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QString path = FreshPath();
  WriteFile(path, data, size);
  Settings loaded;
  {
    QSettingsStore store(path);
    loaded = LoadSettings(store);
  }
  CheckAgainstFile(loaded, path);

  // Saved from memory as a handshake and a language choice would save it.
  const QString savedPath = FreshPath();
  {
    QSettingsStore store(savedPath);
    LinkSettings link = loaded.link;
    const LinkControls controls{loaded.link.linkKind, link.comPortName, link.comBaudRate,
                                link.netIp, link.netPort};
    SaveLinkSettings(store, link, controls);
    SaveLanguage(store, loaded.languageFlag);
  }
  Settings again;
  {
    QSettingsStore store(savedPath);
    again = LoadSettings(store);
  }
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
