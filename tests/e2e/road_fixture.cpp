// The end-to-end road fixture.
#include "road_fixture.h"

#include <fstream>
#include <random>

#include "settings/settings.h"

namespace ql::testing_support {

upgrade::LinkStorer StoreIn(settings::SettingsStore& store) {
  return [&store](const link::LinkSettings& link) { settings::SaveLinkSettings(store, link); };
}

std::string LinkName(const testing::TestParamInfo<sim::LinkType>& info) {
  return info.param == sim::LinkType::Tcp ? "Tcp" : "Pty";
}

RawFirmware::RawFirmware(const std::vector<std::uint8_t>& bytes) {
  std::random_device seed;
  dir_ = std::filesystem::temp_directory_path() / ("ql-e2e-" + std::to_string(seed()));
  std::filesystem::create_directories(dir_);
  path_ = dir_ / "image.QLB";
  std::ofstream out(path_, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

RawFirmware::~RawFirmware() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void DeviceRoadBase::Serve(const sim::FaultConfig& faults, sim::DeviceConfig device) {
  if (device.rebootSilence == sim::DeviceConfig{}.rebootSilence) {
    device.rebootSilence = kRebootSilence;
  }
  sim::SimConfig config;
  config.link.type = Link();
  config.link.address = "127.0.0.1";
  config.device = std::move(device);
  config.faults = faults;
  emulator_ = std::make_unique<sim::Emulator>(config);
  std::string error;
  ASSERT_TRUE(emulator_->Start(error)) << error;
}

settings::LinkControls DeviceRoadBase::Controls() const {
  settings::LinkControls controls;
  if (Link() == sim::LinkType::Tcp) {
    controls.activeTab = link::LinkKind::Tcp;
    controls.ip = "127.0.0.1";
    controls.netPort = std::to_string(emulator_->Port());
  } else {
    controls.activeTab = link::LinkKind::Serial;
    controls.port = emulator_->SlavePath();
    controls.baudRate = "115200,e,8,1";
  }
  return controls;
}

upgrade::ConnectResult DeviceRoadBase::Connect(const std::filesystem::path& file,
                                               const std::string& fileVersionText) {
  return Connect(Controls(), file, fileVersionText);
}

upgrade::ConnectResult DeviceRoadBase::Connect(const settings::LinkControls& controls,
                                               const std::filesystem::path& file,
                                               const std::string& fileVersionText) {
  upgrade::ConnectInputs inputs;
  // As the window does: the active tab taken into the link in memory.
  inputs.link = state_.link;
  settings::TakeLinkControls(controls, inputs.link);
  inputs.fileVersionText = fileVersionText;
  // As the window does: the header read when the file is selected.
  inputs.selectedHeader = image::ReadHeaderText(file).value_or("");
  inputs.firmwarePath = file;
  return upgrade::ConnectProcedure(inputs, state_, env_);
}

upgrade::UpgradeResult DeviceRoadBase::Upgrade() {
  return upgrade::UpgradeSequence("0001", state_, env_);
}

std::string DeviceRoadBase::LastMessage() const {
  const std::vector<std::string> messages = Messages();
  return messages.empty() ? std::string() : messages.back();
}

std::vector<std::uint8_t> DeviceRoadBase::ExpectedFlash() const {
  std::vector<std::uint8_t> flash(sim::kFlashSize, 0xFF);
  for (int block = 0; block < state_.blockCount; ++block) {
    const auto data = state_.blockTable.Block(block);
    std::copy(data.begin(), data.end(), flash.begin() + std::ptrdiff_t{block} * image::kBlockSize);
  }
  return flash;
}

}  // namespace ql::testing_support
