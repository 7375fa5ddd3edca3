// The store the window keeps its settings in on this system: the INI file
// under the user's configuration folder on Linux (qsettings_store.h), the
// registry on Windows (registry_store_win32.h).
#pragma once

#include <memory>

#include "settings/settings_store.h"

namespace ql::settings {

std::unique_ptr<SettingsStore> OpenUserSettingsStore();

}  // namespace ql::settings
