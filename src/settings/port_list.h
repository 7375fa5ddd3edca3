// The list of serial ports the port box offers. What the system reports
// comes from each platform's own file (port_list_qt.cpp, port_list_win32.cpp).
#pragma once

#include <string>
#include <vector>

namespace ql::settings {

// The serial ports the system reports, in its order: on Linux their device
// paths, on Windows the port names of the system's serial-port map
// (HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, read access only;
// reading stops at a value that is not a string).
std::vector<std::string> SystemPortNames();

// The entries for the port box: each name with leading and trailing
// characters of codes 0 to 32 removed, in the given order, duplicates and
// empty names kept; COM1 to COM16 when there are none.
std::vector<std::string> BuildPortList(const std::vector<std::string>& names);

}  // namespace ql::settings
