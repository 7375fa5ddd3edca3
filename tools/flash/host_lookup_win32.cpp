// Host names to IPv4 addresses through Windows Sockets' resolver, with the
// resolver's reasons in the words the program uses on Linux.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "flash_job.h"
#include "link/system_text_win32.h"

namespace ql::flash {
namespace {

std::string LookupFailure(int error) {
  switch (error) {
    case WSAHOST_NOT_FOUND:
      return "Name or service not known";
    case WSATRY_AGAIN:
      return "Temporary failure in name resolution";
    case WSANO_DATA:
      return "No address associated with hostname";
    default:
      return link::SystemErrorText(static_cast<unsigned long>(error));
  }
}

}  // namespace

std::optional<std::string> ResolveIpv4(const std::string& host, std::string& why) {
  static const bool started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) {
    why = "Windows Sockets could not be started";
    return std::nullopt;
  }
  in_addr address{};
  if (::inet_pton(AF_INET, host.c_str(), &address) == 1) {
    return host;
  }
  ADDRINFOW hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOW* found = nullptr;
  if (const int error = ::GetAddrInfoW(link::Widen(host).c_str(), nullptr, &hints, &found);
      error != 0 || found == nullptr) {
    why = error != 0 ? LookupFailure(error) : "no IPv4 address";
    return std::nullopt;
  }
  char text[INET_ADDRSTRLEN] = {};
  const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  ::inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text);
  ::FreeAddrInfoW(found);
  return std::string(text);
}

}  // namespace ql::flash
