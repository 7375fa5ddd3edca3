// The command payloads: device ID first, addresses in four uppercase digits,
// data as uppercase pairs.
#include <gtest/gtest.h>
#include <array>

#include "upgrade/device_commands.h"

namespace ql::upgrade {
namespace {

std::array<std::uint8_t, 512> Block(std::initializer_list<std::uint8_t> head) {
  std::array<std::uint8_t, 512> block{};
  block.fill(0xFF);
  std::copy(head.begin(), head.end(), block.begin());
  return block;
}

TEST(DeviceCommands, FixedCommandsFollowTheDeviceId) {
  EXPECT_EQ(HandshakeCommand("0001"), "0001Zx5E2D");
  EXPECT_EQ(RunCommand("0001"), "0001ZrC71A");
  EXPECT_EQ(HandshakeCommand("0042"), "0042Zx5E2D");
}

TEST(DeviceCommands, AddressIsBlockTimes512InFourUppercaseDigits) {
  struct Case {
    int block;
    const char* readBack;
  };
  for (const Case& c : {Case{0, "0001Zv0000"}, Case{1, "0001Zv0200"}, Case{2, "0001Zv0400"},
                        Case{8, "0001Zv1000"}, Case{123, "0001ZvF600"}}) {
    EXPECT_EQ(ReadBackCommand("0001", c.block), c.readBack) << "block " << c.block;
  }
}

TEST(DeviceCommands, WriteCommandCarriesTheWholeBlockAsUppercaseHex) {
  const auto block = Block({0x12, 0xAB, 0x0A, 0x00});
  const std::string command = WriteCommand("0001", 2, block);
  ASSERT_EQ(command.size(), 1034u);
  EXPECT_EQ(command.substr(0, 10), "0001Zp0400");
  EXPECT_EQ(command.substr(10, 8), "12AB0A00");
  EXPECT_EQ(command.substr(18, 4), "FFFF");
  EXPECT_EQ(command.substr(1030), "FFFF");
  EXPECT_EQ(command.find_first_of("abcdef"), std::string::npos);
}

}  // namespace
}  // namespace ql::upgrade
