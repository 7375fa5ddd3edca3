// The line --list-ports prints for a port.
#include "port_details.h"

#include <utility>

namespace ql::flash {

std::string PortLine(const PortDetails& port) {
  std::string line = port.path;
  std::string known;
  for (const auto& [label, value] :
       {std::pair<const char*, const std::string&>{"", port.description},
        {"by ", port.maker},
        {"USB ", port.vidPid},
        {"serial number ", port.serial}}) {
    if (!value.empty()) {
      known += (known.empty() ? "" : ", ") + std::string(label) + value;
    }
  }
  if (!known.empty()) {
    line += "  " + known;
  }
  if (!port.stableName.empty()) {
    line += "  " + port.stableName;
  }
  return line;
}

}  // namespace ql::flash
