// Loading the settings at start-up and storing them after a handshake or a
// language choice, value by value in a fixed order.
#include "settings/settings.h"

#include <optional>
#include <utility>

namespace ql::settings {
namespace {

// Reads a string value into `target` when it exists, or sets `fallback` when
// it does not. False when the value exists but cannot be read as a string:
// the caller then stops reading, leaving this value and later ones at their
// defaults.
bool ReadStringOrDefault(SettingsStore& store, const char* name, std::string_view fallback,
                         std::string& target) {
  if (!store.Exists(name)) {
    target = std::string(fallback);
    return true;
  }
  std::optional<std::string> value = store.ReadString(name);
  if (!value) {
    return false;
  }
  target = std::move(*value);
  return true;
}

// The values in the order they are read; reading stops at the first value
// that cannot be read, and the values after it are never looked at.
void ReadStoredValues(SettingsStore& store, Settings& settings, std::uint32_t& storedKind) {
  if (store.Exists(kValueType)) {
    std::optional<std::uint32_t> type = store.ReadInt(kValueType);
    if (!type) {
      return;
    }
    storedKind = *type;
  } else {
    storedKind = 0;
  }

  link::LinkSettings& link = settings.link;
  if (!ReadStringOrDefault(store, kValueComBaudRate, link::kDefaultComBaudRate, link.comBaudRate) ||
      !ReadStringOrDefault(store, kValueComPortName, link::kDefaultComPortName, link.comPortName) ||
      !ReadStringOrDefault(store, kValueNetIp, link::kDefaultNetIp, link.netIp) ||
      !ReadStringOrDefault(store, kValueNetPort, link::kDefaultNetPort, link.netPort) ||
      !ReadStringOrDefault(store, kValueLanguageFlag, text::LanguageFlagOf(text::Language::English),
                           settings.languageFlag)) {
    return;
  }
  // The flag stays in memory exactly as read, even a text that selects
  // English, until the operator chooses a language.
  settings.currentLanguage = text::LanguageFromFlag(settings.languageFlag);
}

// All four texts are written whichever tab is active; the inactive tab's
// come from memory. A failed write ends the save, earlier ones stay.
void WriteLinkValues(SettingsStore& store, const link::LinkSettings& link) {
  const std::uint32_t type = link.linkKind == link::LinkKind::Tcp ? 1 : 0;
  if (store.WriteInt(kValueType, type)) {
    const std::pair<const char*, const std::string*> texts[] = {
        {kValueNetPort, &link.netPort},
        {kValueNetIp, &link.netIp},
        {kValueComBaudRate, &link.comBaudRate},
        {kValueComPortName, &link.comPortName},
    };
    for (const auto& [name, value] : texts) {
      if (!store.WriteString(name, *value)) {
        break;
      }
    }
  }
}

}  // namespace

Settings LoadSettings(SettingsStore& store) {
  Settings settings;
  std::uint32_t storedKind = 0;
  if (store.Open(false)) {
    ReadStoredValues(store, settings, storedKind);
    store.Close();
  }
  settings.link.linkKind = storedKind == 0 ? link::LinkKind::Serial : link::LinkKind::Tcp;
  return settings;
}

bool HoldsStoredLink(SettingsStore& store) {
  if (!store.Open(false)) {
    return false;
  }
  auto text = [&store](const char* name) {
    const std::optional<std::string> value =
        store.Exists(name) ? store.ReadString(name) : std::nullopt;
    return value && !value->empty();
  };
  bool holds = false;
  if (const std::optional<std::uint32_t> type =
          store.Exists(kValueType) ? store.ReadInt(kValueType) : std::nullopt) {
    holds = *type == 0 ? text(kValueComPortName) : text(kValueNetIp) && text(kValueNetPort);
  }
  store.Close();
  return holds;
}

void SaveLinkSettings(SettingsStore& store, link::LinkSettings& link,
                      const LinkControls& controls) {
  if (!store.Open(true)) {
    return;
  }
  TakeLinkControls(controls, link);
  WriteLinkValues(store, link);
  store.Close();
}

void SaveLinkSettings(SettingsStore& store, const link::LinkSettings& link) {
  if (!store.Open(true)) {
    return;
  }
  WriteLinkValues(store, link);
  store.Close();
}

void SaveLanguage(SettingsStore& store, std::string_view languageFlag) {
  if (!store.Open(true)) {
    return;
  }
  store.WriteString(kValueLanguageFlag, languageFlag);
  store.Close();
}

}  // namespace ql::settings
