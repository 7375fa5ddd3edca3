// The connect procedure and the upgrade sequence: plain sequential code that
// drives the device, the view and the clock one step after the other.
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

#include "image/firmware_file.h"
#include "link/clock.h"
#include "link/exchange_observer.h"
#include "link/link.h"
#include "settings/link_settings.h"
#include "settings/settings_store.h"
#include "upgrade/device_state.h"
#include "upgrade/upgrade_view.h"

namespace ql::upgrade {

enum class Phase { Connect, Program, Verify, Run };

// Where a procedure ended and why, for a caller that says more than the
// message table does (the command-line program).
struct ProcedureReport {
  Phase phase = Phase::Connect;  // the phase in hand when the procedure ended
  int block = -1;                // the block in hand when a phase failed or stopped
  int tries = 0;                 // failed tries of that block
  int blocksDone = 0;            // blocks of that phase done before it
  bool mismatch = false;         // verification ended on data that differs
  bool runSent = false;          // the device was told to run the new firmware
};

// What a procedure runs with besides the device state.
struct Environment {
  UpgradeView& view;
  link::Clock& clock;
  link::LinkOpener openLink;
  // Where a successful handshake stores the link settings; nullptr stores
  // nothing (the command-line program leaves the window's settings alone).
  settings::SettingsStore* store = nullptr;
  // Once set (from any thread), the procedure sends no further command: it
  // stops at the next exchange boundary, closes the link and returns
  // Interrupted. An exchange in progress always runs to its end.
  const std::atomic<bool>* stopRequested = nullptr;
  // Sees every frame sent and received on the procedure's links.
  link::ExchangeObserver* observer = nullptr;
  // Filled in as the procedure goes; nullptr: nobody asks.
  ProcedureReport* report = nullptr;

  bool StopRequested() const {
    return stopRequested != nullptr && stopRequested->load(std::memory_order_relaxed);
  }
};

// The controls the connect procedure reads, taken when it starts, and the
// firmware it loads once the device's model matches.
struct ConnectInputs {
  settings::LinkControls controls;
  std::string deviceId = "0001";  // pnSetID
  std::string fileVersionText;    // pnFileVer: its first 7 characters are the file's model
  // The header text read when the file was selected. The image loaded must
  // carry exactly this header: a file replaced between selection and load is
  // not the file the operator chose.
  std::string selectedHeader;
  // The firmware as read once before the procedure, used as it stands; when
  // empty, the file at `firmwarePath` is read at the load.
  std::shared_ptr<const image::FirmwareFile> firmware;
  std::filesystem::path firmwarePath;  // the selected file
};

enum class ConnectResult {
  Matched,        // Upgrade enabled, image loaded
  LinkNotOpened,  // message 11
  NoHandshake,    // message 11 after three attempts
  ModelMismatch,  // message 13
  // Message 7; Upgrade stays disabled, BlockCount 0: the file could not be
  // read, its header is not the one selected, or it holds no image.
  LoadFailed,
  Interrupted,  // stopped on request before the handshake succeeded
};

ConnectResult ConnectProcedure(const ConnectInputs& inputs, DeviceState& state, Environment& env);

enum class UpgradeResult {
  UpgradeOk,      // message 21
  LinkNotOpened,  // message 8
  ProgramFailed,  // message 15
  VerifyFailed,   // message 18
  Interrupted,    // stopped on request; the report says where
};

UpgradeResult UpgradeSequence(const std::string& deviceId, const DeviceState& state,
                              Environment& env);

enum class ReadBackResult {
  Ok,             // every block read back (and compared equal, for a check)
  LinkNotOpened,  // message 8
  Failed,         // message 18 for a check; the report says which block and why
  Interrupted,    // stopped on request
};

// The verification phase alone, on a device the connect procedure has
// matched with the loaded image: the handshake, then every block read back
// and compared. Nothing is written and the device is not told to run.
ReadBackResult VerifySequence(const std::string& deviceId, const DeviceState& state,
                              Environment& env);

// Reads the device's whole flash: opens the link `state.link` names, finds the
// device with up to three handshakes that must bring the 29-byte reply (no
// model check), then reads every block of `blockCount` back by the same rule as
// verification into `table`. Nothing is written. `deviceInfo` receives the
// device information of the handshake.
ReadBackResult ReadFlashSequence(const std::string& deviceId, const settings::LinkSettings& link,
                                 int blockCount, image::BlockTable& table, std::string& deviceInfo,
                                 Environment& env);

enum class PollResult {
  Answered,       // a handshake reply of exactly 29 bytes
  NoAnswer,       // the link opened, but no such reply came
  LinkNotOpened,  // the link could not be opened
};

// Looks once, quietly, whether a device answers on `link`, as a station of
// the automatic mode does while it waits for a unit and for its removal:
// opens the link, makes the pause the device needs before a handshake, sends
// one handshake, and closes the link again. Only a reply of exactly 29 bytes
// counts, as in the connect procedure; `deviceInfo` then holds its device
// information. Shows nothing, sounds no tone and stores nothing; the caller
// paces the looks.
PollResult PollDevice(const std::string& deviceId, const settings::LinkSettings& link,
                      const link::LinkOpener& openLink, link::Clock& clock,
                      link::ExchangeObserver* observer, std::string& deviceInfo);

}  // namespace ql::upgrade
