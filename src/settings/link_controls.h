// The link controls of the window, and how they are taken into the link
// settings in memory.
#pragma once

#include <string>

#include "link/link_settings.h"

namespace ql::settings {

// What the link controls of the window show at the moment a procedure takes
// them: the active tab and the texts of both tabs.
struct LinkControls {
  link::LinkKind activeTab = link::LinkKind::Serial;
  std::string port;      // cmbPort
  std::string baudRate;  // cmbBaudrate
  std::string ip;        // edIP
  std::string netPort;   // edPort
};

// Copies the active tab's texts into `link` and sets its kind; the other
// tab's settings stay as they are in memory.
void TakeLinkControls(const LinkControls& controls, link::LinkSettings& link);

}  // namespace ql::settings
