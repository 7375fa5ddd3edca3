// The system's text for an error number, for messages that say why a link
// could not be opened.
#pragma once

#include <string>

namespace ql::link {

// "Connection refused" for ECONNREFUSED; safe to call from any thread.
std::string ErrnoText(int error);

}  // namespace ql::link
