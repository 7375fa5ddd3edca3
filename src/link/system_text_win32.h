// Texts between this program and the Windows calls: the program keeps every
// text in UTF-8, the wide (UTF-16) calls take and give their own, and the
// system's reason for a Win32 or Winsock error code is said in the words the
// program uses on Linux where there are such words.
#pragma once

#include <string>
#include <string_view>

namespace ql::link {

// UTF-8 to UTF-16; a byte that is not UTF-8 becomes U+FFFD.
std::wstring Widen(std::string_view utf8);

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string Narrow(std::wstring_view wide);

// The errno value of the same meaning as a Win32 or Winsock error code
// (ENOENT for ERROR_FILE_NOT_FOUND and ERROR_PATH_NOT_FOUND, EACCES for
// ERROR_ACCESS_DENIED, ECONNREFUSED for WSAECONNREFUSED, ...); 0 when there is
// none.
int ErrnoOfSystemError(unsigned long code);

// "No such file or directory" for ERROR_FILE_NOT_FOUND, "Connection refused"
// for WSAECONNREFUSED: the text of the errno of the same meaning, else the
// system's own message without its final full stop, else "error N".
std::string SystemErrorText(unsigned long code);

}  // namespace ql::link
