// The entries of the port box.
#include "settings/port_list.h"

#include <gtest/gtest.h>

namespace ql::settings {
namespace {

using Names = std::vector<std::string>;

TEST(BuildPortList, TrimsButKeepsOrderDuplicatesAndEmptyEntries) {
  struct Case {
    Names names;
    Names entries;
  };
  const Case cases[] = {
      {{" /dev/ttyS0 ", "\t/dev/ttyUSB0\r\n"}, {"/dev/ttyS0", "/dev/ttyUSB0"}},
      {{std::string("\0\x01"
                    "COM3\x1f ",
                    7)},
       {"COM3"}},
      {{"COM9", "COM2", "COM9"}, {"COM9", "COM2", "COM9"}},
      {{"COM1", "   ", "COM2"}, {"COM1", "", "COM2"}},
      {{""}, {""}},
      // Only codes 0 to 32 are trimmed: DEL and bytes of UTF-8 texts stay.
      {{"\x7f"
        "COM4\x7f"},
       {"\x7f"
        "COM4\x7f"}},
      {{" /dev/串口 "}, {"/dev/串口"}},
      {{"\xa0port\xa0"}, {"\xa0port\xa0"}},
      {{"a b"}, {"a b"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BuildPortList(c.names), c.entries);
  }
}

TEST(BuildPortList, NoPortsGivesCom1ToCom16) {
  const Names entries = BuildPortList({});
  ASSERT_EQ(entries.size(), 16u);
  for (int n = 1; n <= 16; ++n) {
    EXPECT_EQ(entries[static_cast<std::size_t>(n - 1)], "COM" + std::to_string(n));
  }
}
}  // namespace
}  // namespace ql::settings
