// The connect procedure and the upgrade sequence: plain sequential code that
// drives the device and the clock one step after the other, and tells its
// front end what happened.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "image/firmware_file.h"
#include "link/clock.h"
#include "link/exchange_observer.h"
#include "link/link.h"
#include "link/link_settings.h"
#include "upgrade/device_state.h"
#include "upgrade/procedure_events.h"

namespace ql::upgrade {

// What the device is given to start its new firmware after the run command.
inline constexpr std::uint32_t kRunWaitMs = 7000;

// Stores the link settings a handshake has just succeeded on.
using LinkStorer = std::function<void(const link::LinkSettings&)>;

// What a procedure runs with besides the device state.
struct Environment {
  ProcedureEvents& events;
  link::Clock& clock;
  link::LinkOpener openLink;
  // Where a successful handshake stores the link settings; empty stores
  // nothing (the command-line program leaves the window's settings alone).
  LinkStorer storeLink;
  // Once set (from any thread), the procedure sends no further command: it
  // stops at the next exchange boundary, or cuts the wait after the run
  // command short, closes the link and returns Interrupted. An exchange in
  // progress always runs to its end.
  const std::atomic<bool>* stopRequested = nullptr;
  // Sees every frame sent and received on the procedure's links.
  link::ExchangeObserver* observer = nullptr;
  // The wait after the run command. Nothing is sent after it, so only tests
  // shorten it, to spare seven seconds a run.
  std::uint32_t runWaitMs = kRunWaitMs;

  bool StopRequested() const {
    return stopRequested != nullptr && stopRequested->load(std::memory_order_relaxed);
  }
};

// What the connect procedure reads from the controls, taken when it starts,
// and the firmware it loads once the device's model matches.
struct ConnectInputs {
  // The link to open and, once the device answers, to store: the active
  // tab's texts taken into the link settings in memory, the other tab's as
  // they stand there.
  link::LinkSettings link;
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
  Matched,        // the model matched and the image is loaded
  LinkNotOpened,  // the link could not be opened
  NoHandshake,    // no valid reply in three attempts
  ModelMismatch,  // the device is not the file's model
  // BlockCount 0 and a blank table: the file could not be read, its header
  // is not the one selected, or it holds no image.
  LoadFailed,
  Interrupted,  // stopped on request before the handshake succeeded
};

ConnectResult ConnectProcedure(const ConnectInputs& inputs, DeviceState& state, Environment& env);

enum class UpgradeResult {
  UpgradeOk,      // verified, told to run, and given its wait
  LinkNotOpened,  // the link could not be opened
  ProgramFailed,  // a block was not written, or the handshake before them failed
  VerifyFailed,   // a block was not read back equal, or the handshake before them failed
  Interrupted,    // stopped on request
};

UpgradeResult UpgradeSequence(const std::string& deviceId, const DeviceState& state,
                              Environment& env);

enum class ReadBackResult {
  Ok,             // every block read back (and compared equal, for a check)
  LinkNotOpened,  // the link could not be opened
  NoDevice,       // reading a flash: no valid handshake reply
  Failed,         // a block could not be read back or compared equal
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
ReadBackResult ReadFlashSequence(const std::string& deviceId, const link::LinkSettings& link,
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
PollResult PollDevice(const std::string& deviceId, const link::LinkSettings& link,
                      const link::LinkOpener& openLink, link::Clock& clock,
                      link::ExchangeObserver* observer, std::string& deviceInfo);

}  // namespace ql::upgrade
