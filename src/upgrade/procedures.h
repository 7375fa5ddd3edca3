// The connect procedure and the upgrade sequence: plain sequential code that
// drives the device, the view and the clock one step after the other.
#pragma once

#include <filesystem>
#include <string>

#include "link/clock.h"
#include "link/link.h"
#include "settings/link_settings.h"
#include "settings/settings_store.h"
#include "upgrade/device_state.h"
#include "upgrade/upgrade_view.h"

namespace ql::upgrade {

// What a procedure runs with besides the device state.
struct Environment {
  UpgradeView& view;
  link::Clock& clock;
  link::LinkOpener openLink;
  // Where a successful handshake stores the link settings; nullptr stores
  // nothing (the command-line program leaves the window's settings alone).
  settings::SettingsStore* store = nullptr;
};

// The controls the connect procedure reads, taken when it starts.
struct ConnectInputs {
  settings::LinkControls controls;
  std::string deviceId = "0001";       // pnSetID
  std::string fileVersionText;         // pnFileVer
  std::filesystem::path firmwarePath;  // the selected file
};

enum class ConnectResult {
  Matched,        // Upgrade enabled, image loaded
  LinkNotOpened,  // message 11
  NoHandshake,    // message 11 after three attempts
  ModelMismatch,  // message 13
  LoadFailed,     // message 7; Upgrade stays disabled, BlockCount 0
};

ConnectResult ConnectProcedure(const ConnectInputs& inputs, DeviceState& state, Environment& env);

enum class UpgradeResult {
  UpgradeOk,      // message 21
  LinkNotOpened,  // message 8
  ProgramFailed,  // message 15
  VerifyFailed,   // message 18
};

UpgradeResult UpgradeSequence(const std::string& deviceId, const DeviceState& state,
                              Environment& env);

}  // namespace ql::upgrade
