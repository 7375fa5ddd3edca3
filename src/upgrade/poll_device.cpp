// One quiet look for a device: the link open, pause and handshake of the
// connect procedure, without its further attempts, messages and tones.
#include "link/command_exchange.h"
#include "upgrade/block_exchange.h"
#include "upgrade/device_commands.h"
#include "upgrade/procedures.h"

namespace ql::upgrade {

PollResult PollDevice(const std::string& deviceId, const link::LinkSettings& link,
                      const link::LinkOpener& openLink, link::Clock& clock,
                      link::ExchangeObserver* observer, std::string& deviceInfo) {
  std::string why;
  auto transport = openLink(link, why);
  if (!transport) {
    return PollResult::LinkNotOpened;
  }
  link::CommandExchange exchange(*transport, clock);
  exchange.SetObserver(observer);
  clock.SleepMs(kBeforeHandshakeMs);
  PollResult result = PollResult::NoAnswer;
  if (exchange.ExchangeCommand(HandshakeCommand(deviceId)) &&
      exchange.ReplyLength() == kHandshakeReplyLength) {
    deviceInfo = DeviceInformation(exchange.ResponseText());
    result = PollResult::Answered;
  }
  // Closed at once: between looks the link stays closed, as it does between
  // the procedures, so the next look and the connect procedure each start
  // on a fresh link.
  transport->Close();
  return result;
}

}  // namespace ql::upgrade
