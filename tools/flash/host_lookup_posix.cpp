// Host names to IPv4 addresses through the system's resolver.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include "flash_job.h"

namespace ql::flash {

std::optional<std::string> ResolveIpv4(const std::string& host, std::string& why) {
  in_addr address{};
  if (inet_pton(AF_INET, host.c_str(), &address) == 1) {
    return host;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int error = getaddrinfo(host.c_str(), nullptr, &hints, &found);
      error != 0 || found == nullptr) {
    why = error != 0 ? gai_strerror(error) : "no IPv4 address";
    return std::nullopt;
  }
  char text[INET_ADDRSTRLEN] = {};
  const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text);
  freeaddrinfo(found);
  return std::string(text);
}

}  // namespace ql::flash
