// The serial ports the system reports on Linux.
#include <gtest/gtest.h>

#include "settings/port_list.h"

namespace ql::settings {
namespace {

// The system's ports are named by their device path, as the link opens them.
TEST(SystemPortNames, AreDevicePaths) {
  for (const std::string& name : SystemPortNames()) {
    EXPECT_TRUE(name.starts_with("/dev/")) << name;
  }
}

}  // namespace
}  // namespace ql::settings
