// Reading a device's whole flash back: the device is found as the connect
// procedure finds it, then every block is read back by the rule verification
// follows, so that each block holds its own reply's data. Nothing is written.
#include <algorithm>
#include <iterator>

#include "link/command_exchange.h"
#include "text/message_table.h"
#include "upgrade/block_exchange.h"
#include "upgrade/device_commands.h"
#include "upgrade/procedures.h"

namespace ql::upgrade {

ReadBackResult ReadFlashSequence(const std::string& deviceId, const link::LinkSettings& link,
                                 int blockCount, image::BlockTable& table, std::string& deviceInfo,
                                 Environment& env) {
  UpgradeView& view = env.view;
  if (env.report != nullptr) {
    *env.report = ProcedureReport{};
  }
  view.SetWindowEnabled(false);
  view.SetHourglass(true);
  view.SetBusy(1);
  view.Pump();
  view.ShowMessage(text::msg::kConnecting, {});
  view.Pump();
  table.Reset();

  ReadBackResult result = ReadBackResult::Ok;
  bool readingBlocks = false;
  if (auto transport = env.openLink(link)) {
    link::CommandExchange exchange(*transport, env.clock);
    exchange.SetObserver(env.observer);
    const HandshakeEnd found = FindDevice(exchange, deviceId, env);
    if (found == HandshakeEnd::Answered) {
      deviceInfo = DeviceInformation(exchange.ResponseText());
      view.SetDeviceText(deviceInfo);
      readingBlocks = true;
      if (env.report != nullptr) {
        env.report->phase = Phase::Verify;
      }
      const auto keep = [&table](int block, std::string_view data) {
        std::uint8_t bytes[image::kBlockSize];
        if (!ParseBlockDataText(data, bytes)) {
          return false;
        }
        std::copy(std::begin(bytes), std::end(bytes), table.Row(block).begin());
        return true;
      };
      const ReadBackEnd end = ReadBackBlocks(exchange, deviceId, blockCount,
                                             exchange.LastNotes().Disturbed(), env, keep);
      view.SetProgressPosition(Bar::Verify, blockCount);
      result = end == ReadBackEnd::Done          ? ReadBackResult::Ok
               : end == ReadBackEnd::Interrupted ? ReadBackResult::Interrupted
                                                 : ReadBackResult::Failed;
    } else {
      result =
          found == HandshakeEnd::Interrupted ? ReadBackResult::Interrupted : ReadBackResult::Failed;
    }
    transport->Close();
  } else {
    result = ReadBackResult::LinkNotOpened;
  }
  view.SetBusy(0);
  if (result == ReadBackResult::Ok) {
    view.SetIndicator(Indicator::Yellow);
  } else if (result != ReadBackResult::Interrupted) {
    view.SetIndicator(Indicator::Red);
    view.ShowMessage(readingBlocks ? text::msg::kVerifyError : text::msg::kConnectError, {});
  }
  view.SetHourglass(false);
  view.Pump();
  view.SetWindowEnabled(true);
  return result;
}

}  // namespace ql::upgrade
