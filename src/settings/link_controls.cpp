// Taking the link controls of the window into the link settings.
#include "settings/link_controls.h"

namespace ql::settings {

void TakeLinkControls(const LinkControls& controls, link::LinkSettings& link) {
  // Only the active tab is taken: the other tab's controls may have been
  // edited, but its settings stay as they were last loaded or used.
  if (controls.activeTab == link::LinkKind::Tcp) {
    link.linkKind = link::LinkKind::Tcp;
    link.netIp = controls.ip;
    link.netPort = controls.netPort;
  } else {
    link.linkKind = link::LinkKind::Serial;
    link.comPortName = controls.port;
    link.comBaudRate = controls.baudRate;
  }
}

}  // namespace ql::settings
