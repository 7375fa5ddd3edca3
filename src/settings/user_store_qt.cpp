// The user's settings store on Linux: QSettings's INI file.
#include "settings/qsettings_store.h"
#include "settings/user_store.h"

namespace ql::settings {

std::unique_ptr<SettingsStore> OpenUserSettingsStore() {
  return std::make_unique<QSettingsStore>();
}

}  // namespace ql::settings
