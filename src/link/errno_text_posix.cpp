// The system's error texts, through the thread-safe strerror_r.
#include "link/errno_text.h"

#include <string.h>

namespace ql::link {

std::string ErrnoText(int error) {
  char buffer[256] = {};
  // The GNU strerror_r returns the text, which need not be in `buffer`.
  return ::strerror_r(error, buffer, sizeof buffer);
}

}  // namespace ql::link
