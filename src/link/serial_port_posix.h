// What the POSIX serial link does with the terminal interface, for its tests
// and the fuzz target: the line settings written into a termios record, the
// character time read from one, and an open with a lock folder of the
// caller's choice.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "link/line_settings.h"
#include "link/serial_transport.h"
#include "link/transport.h"
#include "link/uucp_lock.h"

namespace ql::link {

// Writes `settings` into `tio`, also switching flow control off. False, with
// `tio` unchanged, when the system has no speed for the baud rate.
bool ApplyLineSettings(const LineSettings& settings, termios& tio);

// How long one character lasts with the format and output speed of `tio`:
// start bit, data bits, parity bit, stop bits (1.5 for 5 data bits with two
// asked for), over the baud rate.
std::chrono::nanoseconds CharacterTimeOf(const termios& tio);

// Whether the device node at `path` is gone, or is another device than
// `device` (the device number the port was opened with): an unplugged
// adapter's node is removed, and may come back as another device's.
bool DeviceNodeRemoved(const std::string& path, dev_t device);

// Why a port told `asked` does not run at its rate, now that it reports
// `inForce`: empty when it does. Drivers take a rate they cannot do without
// an error and keep the nearest they can. The character format is not
// compared: a pseudo-terminal always reports 8 bits without parity,
// whatever it was told, and so do the ports Wine maps onto one.
std::string LineRefusal(const termios& asked, const termios& inForce);

// OpenSerialTransport, with the port's lock file taken in `lockFolder`: the
// open is refused while a lock there names a live process, and a folder
// that is missing or not writable does not stop it (the port is then used
// without a lock file).
std::unique_ptr<Transport> OpenSerialTransport(
    std::string_view portName, std::string_view lineSettings, std::string* why,
    std::string_view lockFolder, LineSettingsUse use = LineSettingsUse::PortsOwnIfRefused);

}  // namespace ql::link
