// What the system knows of a serial port beside its device path: for a USB
// adapter its description, maker, vendor and product IDs and serial number,
// and the name under /dev/serial/by-id that stays the same when it is
// plugged into another socket.
#pragma once

#include <string>

namespace ql::flash {

struct PortDetails {
  std::string path;         // as the system lists it: /dev/ttyUSB0
  std::string stableName;   // /dev/serial/by-id/usb-FTDI_..., empty when none
  std::string description;  // the product text, "FT232R USB UART"
  std::string maker;        // the manufacturer text, "FTDI"
  std::string vidPid;       // "0403:6001"
  std::string serial;       // the adapter's serial number
};

// Looks `path` up under `sysRoot` (the sysfs mount) and `byIdFolder`; a
// port the system tells nothing of has only its path. The roots are
// parameters for the tests.
PortDetails DescribePort(const std::string& path, const std::string& sysRoot = "/sys",
                         const std::string& byIdFolder = "/dev/serial/by-id");

// One line for a person: the path, then what is known, in that order.
std::string PortLine(const PortDetails& port);

}  // namespace ql::flash
