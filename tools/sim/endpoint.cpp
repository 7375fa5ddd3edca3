// Choosing the device's end of the link.
#include "sim/endpoint.h"

namespace ql::sim {

std::unique_ptr<Endpoint> OpenEndpoint(const LinkConfig& config, std::string& error) {
  return config.type == LinkType::Pty ? OpenPtyEndpoint(config, error)
                                      : OpenTcpEndpoint(config, error);
}

}  // namespace ql::sim
