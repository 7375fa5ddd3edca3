// The connect procedure: open the link the operator chose, find the device
// with up to three handshakes, store the link, compare the device's model
// with the file's, and load the image when they match.
#include "image/firmware_file.h"
#include "link/command_exchange.h"
#include "settings/settings.h"
#include "text/message_table.h"
#include "upgrade/block_exchange.h"
#include "upgrade/device_commands.h"
#include "upgrade/procedures.h"
#include "upgrade/sound_tone.h"

namespace ql::upgrade {
namespace {

// The device needs this pause after the handshake it answered, before the
// model check.
constexpr std::uint32_t kAfterConnectHandshakeMs = 100;
// Model prefixes compared between the device information and the file header.
constexpr std::size_t kModelPrefixLength = 7;

std::string Prefix(std::string_view text, std::size_t length) {
  return std::string(text.substr(0, length));
}

// Fills the block table from the firmware of `inputs`: the image read before
// the procedure, or the selected file read now. Only a file whose header is
// the one read at selection, and that holds an image, is loaded; anything
// else leaves the table blank and is a failed load.
bool LoadImage(const ConnectInputs& inputs, DeviceState& state) {
  state.blockTable.Reset();
  std::shared_ptr<const image::FirmwareFile> firmware = inputs.firmware;
  if (!firmware) {
    image::FirmwareRead read = image::ReadFirmwareFile(inputs.firmwarePath);
    if (!read.Ok()) {
      return false;
    }
    firmware = std::make_shared<const image::FirmwareFile>(std::move(read.file));
  }
  if (firmware->headerText != inputs.selectedHeader) {
    return false;
  }
  return image::LoadFirmwareImage(*firmware, state.deviceFamily, state.blockTable,
                                  state.blockCount) == image::LoadResult::Loaded;
}

}  // namespace

ConnectResult ConnectProcedure(const ConnectInputs& inputs, DeviceState& state, Environment& env) {
  UpgradeView& view = env.view;
  link::Clock& clock = env.clock;
  if (env.report != nullptr) {
    *env.report = ProcedureReport{};
  }

  view.SetProgressPosition(Bar::Program, 0);
  view.SetProgressPosition(Bar::Verify, 0);
  view.SetHourglass(true);
  view.Pump();
  view.SetWindowEnabled(false);
  view.SetBusy(1);
  view.Pump();

  view.ShowMessage(text::msg::kConnecting, {});
  view.Pump();

  // The link is the one on the active tab now; it reaches the store only
  // after the device has answered.
  settings::TakeLinkControls(inputs.controls, state.link);

  ConnectResult result = ConnectResult::LinkNotOpened;
  if (auto transport = env.openLink(state.link)) {
    link::CommandExchange exchange(*transport, clock);
    exchange.SetObserver(env.observer);
    const HandshakeEnd found = FindDevice(exchange, inputs.deviceId, env);

    if (found == HandshakeEnd::Interrupted) {
      transport->Close();
      result = ConnectResult::Interrupted;
    } else if (found == HandshakeEnd::NoAnswer) {
      transport->Close();
      result = ConnectResult::NoHandshake;
    } else {
      state.deviceFamily = image::kDeviceFamily;
      // The device's pause after the handshake runs from its reply (the
      // link marks it). Storing the settings (a few writes, each flushed to
      // disk) happens inside it, so the device waits the same whether or
      // not a front end stores them and however long the disk takes.
      if (env.store != nullptr) {
        settings::SaveLinkSettings(*env.store, state.link, inputs.controls);
      }
      clock.SleepAfterMarkMs(kAfterConnectHandshakeMs);

      const std::string deviceInfo = DeviceInformation(exchange.ResponseText());
      view.SetDeviceText(deviceInfo);

      if (Prefix(deviceInfo, kModelPrefixLength) ==
          Prefix(inputs.fileVersionText, kModelPrefixLength)) {
        view.SetUpgradeEnabled(true);
        view.ShowMessage(text::msg::kConnectOk, {});
        view.SetBusy(0);
        view.SetIndicator(Indicator::Yellow);
        if (!LoadImage(inputs, state)) {
          // The table is blank now: never let it reach the device.
          state.blockCount = 0;
          view.SetUpgradeEnabled(false);
          view.ShowMessage(text::msg::kLoadFileError, {});
          view.SetIndicator(Indicator::Red);
          SoundTone(env, 300, 300);
          result = ConnectResult::LoadFailed;
        } else {
          view.SetFileVersionText(image::kModelText);
          SoundTone(env, 1000, 300);
          result = ConnectResult::Matched;
        }
      } else {
        view.SetUpgradeEnabled(false);
        view.ShowMessage(text::msg::kFileTypeError, {});
        view.SetBusy(0);
        view.SetIndicator(Indicator::Red);
        SoundTone(env, 300, 300);
        result = ConnectResult::ModelMismatch;
      }
      transport->Close();
    }
  }

  if (result == ConnectResult::LinkNotOpened || result == ConnectResult::NoHandshake) {
    view.SetUpgradeEnabled(false);
    view.SetBusy(0);
    view.SetIndicator(Indicator::Red);
    view.ShowMessage(text::msg::kConnectError, {});
    SoundTone(env, 300, 300);
  } else if (result == ConnectResult::Interrupted) {
    view.SetUpgradeEnabled(false);
    view.SetBusy(0);
  }

  view.SetHourglass(false);
  view.SetWindowEnabled(true);
  return result;
}

}  // namespace ql::upgrade
