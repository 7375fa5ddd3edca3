// The connect procedure: open the link the operator chose, find the device
// with up to three handshakes, store the link, compare the device's model
// with the file's, and load the image when they match.
#include <cstdio>

#include "image/firmware_file.h"
#include "link/command_exchange.h"
#include "settings/settings.h"
#include "text/message_table.h"
#include "upgrade/device_commands.h"
#include "upgrade/procedures.h"

namespace ql::upgrade {
namespace {

constexpr int kHandshakeAttempts = 3;
constexpr std::int32_t kHandshakeReplyLength = 29;
// Model prefixes compared between the device information and the file header.
constexpr std::size_t kModelPrefixLength = 7;
// The device information: positions 8 to 23 of the handshake reply.
constexpr std::size_t kDeviceInfoOffset = 7;
constexpr std::size_t kDeviceInfoLength = 16;

// What the status panel shows after a failed attempt: " ( 9 )", " ( 8 )", " ( 7 )".
std::string Countdown(int attempt) {
  char text[32];
  std::snprintf(text, sizeof text, " ( %d )", 9 - attempt);
  return text;
}

std::string Prefix(std::string_view text, std::size_t length) {
  return std::string(text.substr(0, length));
}

}  // namespace

ConnectResult ConnectProcedure(const ConnectInputs& inputs, DeviceState& state, Environment& env) {
  UpgradeView& view = env.view;
  link::Clock& clock = env.clock;

  view.SetProgressPosition(Bar::Program, 0);
  view.SetProgressPosition(Bar::Verify, 0);
  view.SetHourglass(true);
  view.Pump();
  view.SetWindowEnabled(false);
  view.SetBusy(1);
  view.Pump();

  bool success = false;
  view.ShowMessage(text::msg::kConnecting, {});
  view.Pump();

  // The link is the one on the active tab now; it reaches the store only
  // after the device has answered.
  settings::TakeLinkControls(inputs.controls, state.link);

  ConnectResult result = ConnectResult::LinkNotOpened;
  if (auto transport = env.openLink(state.link)) {
    link::CommandExchange exchange(*transport, clock);
    for (int attempt = 0; attempt < kHandshakeAttempts; ++attempt) {
      clock.SleepMs(100);
      if (exchange.ExchangeCommand(HandshakeCommand(inputs.deviceId)) &&
          exchange.ReplyLength() == kHandshakeReplyLength) {
        state.deviceFamily = image::kDeviceFamily;
        success = true;
        break;
      }
      view.ShowMessage(text::msg::kConnecting, Countdown(attempt));
      view.Pump();
    }

    if (!success) {
      transport->Close();
      result = ConnectResult::NoHandshake;
    } else {
      if (env.store != nullptr) {
        settings::SaveLinkSettings(*env.store, state.link, inputs.controls);
      }
      clock.SleepMs(100);

      const std::string& reply = exchange.ResponseText();
      const std::string deviceInfo = reply.size() > kDeviceInfoOffset
                                         ? reply.substr(kDeviceInfoOffset, kDeviceInfoLength)
                                         : "";
      view.SetDeviceText(deviceInfo);

      if (Prefix(deviceInfo, kModelPrefixLength) ==
          Prefix(inputs.fileVersionText, kModelPrefixLength)) {
        view.SetUpgradeEnabled(true);
        view.ShowMessage(text::msg::kConnectOk, {});
        view.SetBusy(0);
        view.SetIndicator(Indicator::Yellow);
        const auto load = image::LoadFirmwareImage(inputs.firmwarePath, state.deviceFamily,
                                                   state.blockTable, state.blockCount);
        if (load == image::LoadResult::OpenFailed) {
          // The table is blank now: never let it reach the device.
          state.blockCount = 0;
          view.SetUpgradeEnabled(false);
          view.ShowMessage(text::msg::kLoadFileError, {});
          view.SetIndicator(Indicator::Red);
          view.Tone(300, 300);
          result = ConnectResult::LoadFailed;
        } else {
          view.SetFileVersionText(image::kModelText);
          view.Tone(1000, 300);
          result = ConnectResult::Matched;
        }
      } else {
        view.SetUpgradeEnabled(false);
        view.ShowMessage(text::msg::kFileTypeError, {});
        view.SetBusy(0);
        view.SetIndicator(Indicator::Red);
        view.Tone(300, 300);
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
    view.Tone(300, 300);
  }

  view.SetHourglass(false);
  view.SetWindowEnabled(true);
  return result;
}

}  // namespace ql::upgrade
