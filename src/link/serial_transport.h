// The serial link to the device: a port opened by the name the settings
// give, with the line settings of their text. Each platform brings its own
// implementation (serial_transport_posix.cpp, serial_transport_win32.cpp).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "link/line_settings.h"
#include "link/transport.h"

namespace ql::link {

// The device to open for a port name. On Linux "COM1", "COM2", ... (any
// case) name /dev/ttyS0, /dev/ttyS1, ..., so Windows-style names keep
// working; on Windows they name \\.\COM1, \\.\COM2, ..., the form that
// also reaches COM10 and above. Any other name is used as it stands.
std::string SerialDevicePath(std::string_view portName);

// What tells two port names of one port apart from two ports: on Linux the
// device's own path (links resolved, or the absolute path of a device that
// does not exist), on Windows the device name in capitals.
std::string SerialPortIdentity(std::string_view portName);

// Whether the system can run a port with `settings`: it has a speed for the
// baud rate.
bool LineSettingsApplicable(const LineSettings& settings);

// What an open does when the port will not run with the line settings it
// is given: the window keeps the port's own (its settings text is whatever
// the user typed last), the command-line program refuses the port, since
// it was told a rate and says that rate in what it prints.
enum class LineSettingsUse {
  PortsOwnIfRefused,
  Exactly,
};

// Opens the port for exclusive use, raw bytes, and the line settings of
// `lineSettings`. A text that cannot be read, names a rate the system has
// no speed for, or that the port refuses or quietly replaces leaves the
// port's own with PortsOwnIfRefused; with Exactly the open fails and `why`
// says so with the port's reason. nullptr when the port does not exist, is
// not a serial port, or is in use; `why` (when given) then says which, with
// the system's text.
std::unique_ptr<Transport> OpenSerialTransport(
    std::string_view portName, std::string_view lineSettings, std::string* why = nullptr,
    LineSettingsUse use = LineSettingsUse::PortsOwnIfRefused);

}  // namespace ql::link
