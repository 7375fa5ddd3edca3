// The system's text for an error number: the one place such texts come from,
// for messages that say why a link, a port or a file could not be used.
#pragma once

#include <string>

namespace ql::link {

// "Connection refused" for ECONNREFUSED; safe to call from any thread.
std::string ErrnoText(int error);

}  // namespace ql::link
