// The list of serial ports the port box offers.
#pragma once

#include <string>
#include <vector>

namespace ql::settings {

// The device paths of the serial ports the system reports, in its order.
std::vector<std::string> SystemPortNames();

// The entries for the port box: each name with leading and trailing
// characters of codes 0 to 32 removed, in the given order, duplicates and
// empty names kept; COM1 to COM16 when there are none.
std::vector<std::string> BuildPortList(const std::vector<std::string>& names);

}  // namespace ql::settings
