// Opening the link that the settings name.
#include "link/link.h"

#include "link/serial_transport.h"
#include "link/tcp_transport.h"

namespace ql::link {

std::unique_ptr<Transport> OpenLink(const LinkSettings& settings) {
  std::string ignored;
  return TryOpenLink(settings, ignored);
}

std::unique_ptr<Transport> TryOpenLink(const LinkSettings& settings, std::string& why) {
  return TryOpenLinkUnlessStopped(settings, why, nullptr);
}

std::unique_ptr<Transport> TryOpenLinkUnlessStopped(const LinkSettings& settings, std::string& why,
                                                    const std::atomic<bool>* cancel,
                                                    LineSettingsUse use) {
  if (settings.linkKind == LinkKind::Tcp) {
    return OpenTcpTransport(settings.netIp, settings.netPort, kConnectTimeout, &why, cancel);
  }
  return OpenSerialTransport(settings.comPortName, settings.comBaudRate, &why, use);
}

}  // namespace ql::link
