// The settings held in memory for the whole run, and the rules that load them
// at start-up and store them after a handshake or a language choice. Nothing
// here reports a failure: a store that cannot be read or written leaves the
// settings in memory as they are.
#pragma once

#include <string>

#include "link/link_settings.h"
#include "settings/link_controls.h"
#include "settings/settings_store.h"
#include "text/language.h"

namespace ql::settings {

// Names of the stored values.
inline constexpr const char* kValueType = "TYPE";
inline constexpr const char* kValueComBaudRate = "ComBaudRate";
inline constexpr const char* kValueComPortName = "ComPortName";
inline constexpr const char* kValueNetIp = "NetIP";
inline constexpr const char* kValueNetPort = "NetPort";
inline constexpr const char* kValueLanguageFlag = "LanguageFlag";

struct Settings {
  link::LinkSettings link;
  std::string languageFlag = "English";
  text::Language currentLanguage = text::Language::English;
};

// Defaults, then whatever the store holds. Reading stops at the first value
// of the wrong type or that cannot be read: values before it keep what was
// read, it and all later ones keep their defaults. `link.linkKind` is Serial
// for a stored TYPE of 0 (or none) and Tcp for any other value.
Settings LoadSettings(SettingsStore& store);

// Whether the store holds a link a program may open without being told one:
// the key opens, TYPE reads as a number and the values its tab needs (the
// port name; or the address and the port) read as texts that are not empty.
// A missing or unreadable store, or one the window never wrote a link into,
// holds none: the defaults would open a port nobody chose.
bool HoldsStoredLink(SettingsStore& store);

// Takes the active tab's controls into `link` and stores TYPE and all four
// link texts (the inactive tab's as they stand in memory). When the store
// cannot be opened or created nothing changes, in memory or in the store.
void SaveLinkSettings(SettingsStore& store, link::LinkSettings& link, const LinkControls& controls);

// Stores TYPE and all four link texts of `link`, as a connect that found the
// device does once the active tab has been taken into it.
void SaveLinkSettings(SettingsStore& store, const link::LinkSettings& link);

// Stores only the language flag.
void SaveLanguage(SettingsStore& store, std::string_view languageFlag);

}  // namespace ql::settings
