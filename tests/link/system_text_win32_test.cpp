// Texts between the program and the Windows calls: UTF-8 and UTF-16 both
// ways, and the reasons of system error codes in the program's own words.
// Winsock before windows.h, which would bring the old Winsock otherwise.
#include <winsock2.h>

#include <windows.h>

#include <gtest/gtest.h>

#include "link/system_text_win32.h"

namespace ql::link {
namespace {

TEST(WindowsText, Utf8AndUtf16BothWays) {
  const std::string text = "COM7 \xE5\x9B\xBA\xE4\xBB\xB6 \xC3\xA9 \xF0\x9F\x94\x8C";
  EXPECT_EQ(Widen(text), L"COM7 \u56FA\u4EF6 \u00E9 \U0001F50C");
  EXPECT_EQ(Narrow(Widen(text)), text);
  EXPECT_EQ(Narrow(Widen(std::string("a\0b", 3))), std::string("a\0b", 3));
  // A byte that is not UTF-8 is replaced, never dropped silently.
  EXPECT_EQ(Widen("a\xFF"
                  "b"),
            L"a\uFFFDb");
  EXPECT_TRUE(Widen("").empty());
}

TEST(WindowsText, ReasonsInTheProgramsOwnWords) {
  EXPECT_EQ(SystemErrorText(ERROR_FILE_NOT_FOUND), "No such file or directory");
  EXPECT_EQ(SystemErrorText(ERROR_PATH_NOT_FOUND), "No such file or directory");
  EXPECT_EQ(SystemErrorText(ERROR_ACCESS_DENIED), "Permission denied");
  EXPECT_EQ(SystemErrorText(ERROR_ALREADY_EXISTS), "File exists");
  EXPECT_EQ(SystemErrorText(WSAECONNREFUSED), "Connection refused");
  EXPECT_EQ(SystemErrorText(WSAECONNRESET), "Connection reset by peer");
  EXPECT_EQ(SystemErrorText(WSAETIMEDOUT), "Connection timed out");
  // Others in the system's words, without the full stop and line end its
  // messages carry; never an empty text.
  const std::string other = SystemErrorText(ERROR_INVALID_FUNCTION);
  EXPECT_FALSE(other.empty());
  EXPECT_NE(other.back(), '.');
  EXPECT_NE(other.back(), '\n');
  EXPECT_FALSE(SystemErrorText(0x20001234).empty());
}

}  // namespace
}  // namespace ql::link
