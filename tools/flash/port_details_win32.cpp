// Serial port details on Windows: the serial-port map names only the port,
// so a port has its name and nothing more.
#include "port_details.h"

namespace ql::flash {

PortDetails DescribePort(const std::string& path, const std::string&, const std::string&) {
  PortDetails port;
  port.path = path;
  return port;
}

}  // namespace ql::flash
