// Opening the link that the settings name.
#include "link/link.h"

#include "link/serial_transport.h"
#include "link/tcp_transport.h"

namespace ql::link {

std::unique_ptr<Transport> OpenLink(const settings::LinkSettings& settings) {
  if (settings.linkKind == settings::LinkKind::Tcp) {
    return TcpTransport::Open(settings.netIp, settings.netPort);
  }
  return SerialTransport::Open(settings.comPortName, settings.comBaudRate);
}

}  // namespace ql::link
