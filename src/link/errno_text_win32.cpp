// The system's error texts on Windows. The C run-time knows the texts of the
// classic errno values only; the network ones, which it leaves "Unknown
// error", are said here in the words the program uses on Linux.
#include <string.h>

#include <cerrno>

#include "link/errno_text.h"

namespace ql::link {

std::string ErrnoText(int error) {
  switch (error) {
    case ECONNREFUSED:
      return "Connection refused";
    case ECONNRESET:
      return "Connection reset by peer";
    case ECONNABORTED:
      return "Software caused connection abort";
    case ETIMEDOUT:
      return "Connection timed out";
    case ENETUNREACH:
      return "Network is unreachable";
    case EHOSTUNREACH:
      return "No route to host";
    case ENETDOWN:
      return "Network is down";
    case EADDRNOTAVAIL:
      return "Cannot assign requested address";
    case ENOTCONN:
      return "Transport endpoint is not connected";
    case EPIPE:
      return "Broken pipe";
    default:
      break;
  }
  char buffer[256] = {};
  if (::strerror_s(buffer, sizeof buffer, error) != 0) {
    return "error " + std::to_string(error);
  }
  return buffer;
}

}  // namespace ql::link
