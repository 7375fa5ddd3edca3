// Opening the link that the settings name.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "link/link_settings.h"
#include "link/serial_transport.h"
#include "link/transport.h"

namespace ql::link {

// Opens the serial port or the TCP connection of `settings.linkKind` (Tcp for
// the value 1, the serial port for any other value). nullptr when it cannot
// be opened; nothing is then left open. A TCP connect gives up after 5 s.
std::unique_ptr<Transport> OpenLink(const LinkSettings& settings);

// OpenLink that also says why it failed: on nullptr `why` holds the system's
// reason ("Connection refused", "No such file or directory", ...). A TCP
// connect still waiting when `cancel` becomes true gives up (the second form).
std::unique_ptr<Transport> TryOpenLink(const LinkSettings& settings, std::string& why);
// `use`: what a serial port that will not run with the line settings does
// (see OpenSerialTransport).
std::unique_ptr<Transport> TryOpenLinkUnlessStopped(
    const LinkSettings& settings, std::string& why, const std::atomic<bool>* cancel,
    LineSettingsUse use = LineSettingsUse::PortsOwnIfRefused);

// How a procedure opens its link, as TryOpenLink does; tests hand in their
// own.
using LinkOpener = std::function<std::unique_ptr<Transport>(const LinkSettings&, std::string& why)>;

}  // namespace ql::link
