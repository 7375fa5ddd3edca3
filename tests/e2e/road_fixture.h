// The connect procedure and the upgrade sequence on a live link: the device
// emulator in-process on TCP (127.0.0.1) or on a pseudo-terminal opened as a
// serial port, the real link layer, the real clock and a recorder of the
// procedures' events.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "image/firmware_file.h"
#include "link/clock.h"
#include "link/exchange_observer.h"
#include "settings/link_controls.h"
#include "settings/settings_store.h"
#include "sim/emulator.h"
#include "support/fake_settings_store.h"
#include "upgrade/harness.h"
#include "upgrade/procedures.h"

namespace ql::testing_support {

// Test names: "Tcp" and "Pty".
std::string LinkName(const testing::TestParamInfo<sim::LinkType>& info);

// A firmware file of exactly these bytes, in a fresh temporary folder.
class RawFirmware {
 public:
  explicit RawFirmware(const std::vector<std::uint8_t>& bytes);
  ~RawFirmware();
  RawFirmware(const RawFirmware&) = delete;
  RawFirmware& operator=(const RawFirmware&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path dir_;
  std::filesystem::path path_;
};

// Stores the link of a successful handshake in `store`, as the window does.
upgrade::LinkStorer StoreIn(settings::SettingsStore& store);

// A fault configuration made by `set`.
template <typename Set>
sim::FaultConfig Faults(Set set) {
  sim::FaultConfig faults;
  set(faults);
  return faults;
}

// The header a firmware file for this device begins with.
inline constexpr const char* kHeader = "QL480TX-V5 1.02";

// Counts the request frames the procedures send, so a test can tell how
// many tries were made without timing them.
class FrameCounter final : public link::ExchangeObserver {
 public:
  void FrameSent(std::span<const std::uint8_t>) override { ++sent; }
  void BytesReceived(std::span<const std::uint8_t>) override {}
  void ExchangeEnded(link::ExchangeVerdict, const link::ExchangeNotes&) override {}
  void LinkResynced(std::span<const std::uint8_t>, bool) override {}

  int sent = 0;
};

class DeviceRoadBase : public testing::Test {
 protected:
  DeviceRoadBase() { env_.runWaitMs = kShortRunWaitMs; }

  // The link kind the emulator serves and the procedures open.
  virtual sim::LinkType Link() const = 0;

  // The device reboots quickly so that a second upgrade can follow the
  // shortened wait after the run command.
  static constexpr std::chrono::milliseconds kRebootSilence{20};

  // Starts the emulator on the link kind under test.
  void Serve(const sim::FaultConfig& faults = {}, sim::DeviceConfig device = {});

  // What the operator types into the tab of the link kind under test.
  settings::LinkControls Controls() const;

  // Runs the connect procedure for `file`, with `fileVersionText` as the
  // header the window shows for it, on the link the controls name.
  upgrade::ConnectResult Connect(const std::filesystem::path& file,
                                 const std::string& fileVersionText = kHeader);
  upgrade::ConnectResult Connect(const settings::LinkControls& controls,
                                 const std::filesystem::path& file,
                                 const std::string& fileVersionText = kHeader);
  upgrade::UpgradeResult Upgrade();

  // The status messages, in order: "msg 10", "msg 10 ( 9 )", ...
  std::vector<std::string> Messages() const { return Matching(log_, "msg "); }
  std::string LastMessage() const;

  // What the flash must hold after the loaded image was written: the first
  // BlockCount blocks of the block table, the rest as erased.
  std::vector<std::uint8_t> ExpectedFlash() const;
  bool FlashHoldsImage() const { return emulator_->Flash() == ExpectedFlash(); }

  // The 7000 ms wait after the run command passes in this time here. The
  // procedures' tests on the virtual clock pin that wait to the
  // millisecond; here it would only add seven seconds to every road.
  static constexpr std::uint32_t kShortRunWaitMs = 50;

  EventLog log_;
  RecordingEvents events_{log_};
  link::SystemClock clock_;
  FakeSettingsStore store_;
  upgrade::Environment env_{events_, clock_, link::TryOpenLink, StoreIn(store_)};
  upgrade::DeviceState state_;
  std::unique_ptr<sim::Emulator> emulator_;
};

// Parameterised by the link kind.
class DeviceRoad : public DeviceRoadBase, public testing::WithParamInterface<sim::LinkType> {
 protected:
  sim::LinkType Link() const override { return GetParam(); }
};

}  // namespace ql::testing_support

namespace ql::sim {
// Test names and failure messages show the link kind by name.
inline void PrintTo(LinkType type, std::ostream* out) {
  *out << (type == LinkType::Tcp ? "TCP" : "pseudo-terminal");
}
}  // namespace ql::sim
