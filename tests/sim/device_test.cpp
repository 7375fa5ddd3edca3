// The emulated device's command handling: replies, flash, refusals and the
// faults that change what it stores or answers.
#include "sim/device.h"

#include <gtest/gtest.h>

#include "link/frame.h"
#include "sim_test_util.h"

namespace ql::sim {
namespace {

using testing_support::BlockHex;
using testing_support::Pattern;
using testing_support::WritePayload;

TEST(DeviceTest, HandshakeCarriesPaddedDeviceInformationInA29ByteFrame) {
  const struct {
    std::string info;
    std::string shown;
  } cases[] = {
      {"QL480TX-V5", "QL480TX-V5      "},
      {"QL481TX-V1", "QL481TX-V1      "},
      {"ql480tx-v5", "ql480tx-v5      "},
      {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP"},
  };
  for (const auto& c : cases) {
    DeviceConfig config;
    config.deviceInfo = c.info;
    Device device(config, FaultConfig{});
    const auto answer = device.Handle("0001Zx5E2D");
    ASSERT_TRUE(answer && answer->body) << c.info;
    EXPECT_EQ(answer->command.kind, CommandKind::Handshake);
    EXPECT_EQ(*answer->body, "0001Zx" + c.shown);
    EXPECT_EQ(link::BuildReply(*answer->body).size(), 29U);
  }
}

TEST(DeviceTest, HandshakeLengthFaultCutsOrPadsTheFrame) {
  for (const int length : {28, 30, 7}) {
    FaultConfig faults;
    faults.handshakeFrameLength = length;
    Device device(DeviceConfig{}, faults);
    const auto answer = device.Handle("0001Zx5E2D");
    ASSERT_TRUE(answer && answer->body);
    EXPECT_EQ(link::BuildReply(*answer->body).size(), static_cast<std::size_t>(length));
  }
}

TEST(DeviceTest, WrittenBlockIsStoredAndReadBackInUppercaseHex) {
  Device device(DeviceConfig{}, FaultConfig{});
  const auto data = Pattern(7);
  const auto write = device.Handle(WritePayload("0001", 2, data));
  ASSERT_TRUE(write && write->body);
  EXPECT_EQ(write->command.kind, CommandKind::Write);
  EXPECT_EQ(*write->body, "0001Zp0400");

  const auto flash = device.Flash();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 2 * kBlockSize));
  EXPECT_EQ(flash[2 * kBlockSize - 1], 0xFF) << "the block before stays erased";
  EXPECT_EQ(flash[3 * kBlockSize], 0xFF) << "the block after stays erased";

  const auto verify = device.Handle("0001Zv0400");
  ASSERT_TRUE(verify && verify->body);
  EXPECT_EQ(*verify->body, "0001Zv" + BlockHex(data));
  EXPECT_EQ(link::BuildReply(*verify->body).size(), 1037U);
}

TEST(DeviceTest, LastBlockIsWritableAndReadable) {
  Device device(DeviceConfig{}, FaultConfig{});
  const auto data = Pattern(3);
  ASSERT_TRUE(device.Handle(WritePayload("0001", 123, data))->body);
  EXPECT_EQ(*device.Handle("0001ZvF600")->body, "0001Zv" + BlockHex(data));
}

TEST(DeviceTest, MalformedCommandsGetNoReplyAndChangeNothing) {
  const std::string good = BlockHex(Pattern(1));
  std::string lowercaseData = good;
  lowercaseData[10] = 'a';
  std::string nonHexData = good;
  nonHexData[1023] = 'G';
  const struct {
    const char* what;
    std::string payload;
  } cases[] = {
      {"data one byte short", "0001Zp0200" + good.substr(2)},
      {"data one byte long", "0001Zp0200" + good + "00"},
      {"lowercase data", "0001Zp0200" + lowercaseData},
      {"non-hex data", "0001Zp0200" + nonHexData},
      {"lowercase address", "0001Zp0a00" + good},
      {"address off a block boundary", "0001Zp0201" + good},
      {"address past the flash", "0001ZpF800" + good},
      {"read-back off a block boundary", "0001Zv0100"},
      {"read-back past the flash", "0001ZvFE00"},
      {"read-back with lowercase address", "0001Zvf600"},
      {"read-back with extra characters", "0001Zv02000"},
      {"handshake with other arguments", "0001Zx5E2E"},
      {"run with other arguments", "0001ZrC71B"},
      {"unknown letters", "0001Zq5E2D"},
      {"no command at all", "0001"},
  };
  for (const auto& c : cases) {
    Device device(DeviceConfig{}, FaultConfig{});
    const auto answer = device.Handle(c.payload);
    ASSERT_TRUE(answer) << c.what;
    EXPECT_FALSE(answer->body) << c.what;
    EXPECT_EQ(answer->command.kind, CommandKind::Other) << c.what;
    EXPECT_FALSE(answer->startsReboot) << c.what;
    const auto flash = device.Flash();
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](std::uint8_t b) { return b == 0xFF; }))
        << c.what;
  }
}

TEST(DeviceTest, OtherDeviceIdIsIgnoredAndNotNumbered) {
  DeviceConfig config;
  config.deviceId = "0042";
  Device device(config, FaultConfig{});
  EXPECT_FALSE(device.Handle("0001Zx5E2D"));
  EXPECT_FALSE(device.Handle("004"));
  const auto answer = device.Handle("0042Zx5E2D");
  ASSERT_TRUE(answer && answer->body);
  EXPECT_EQ(answer->command.number, 1U);
  EXPECT_EQ(answer->body->substr(0, 6), "0042Zx");
}

TEST(DeviceTest, CommandsAreNumberedOverallAndByKind) {
  Device device(DeviceConfig{}, FaultConfig{});
  const std::string payloads[] = {"0001Zx5E2D", "0001Zv0000", "0001Zq", "0001Zv0200", "0001Zx5E2D"};
  const CommandRef expected[] = {
      {CommandKind::Handshake, 1, 1}, {CommandKind::Verify, 2, 1},    {CommandKind::Other, 3, 1},
      {CommandKind::Verify, 4, 2},    {CommandKind::Handshake, 5, 2},
  };
  for (std::size_t i = 0; i < std::size(payloads); ++i) {
    const auto answer = device.Handle(payloads[i]);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->command.kind, expected[i].kind) << i;
    EXPECT_EQ(answer->command.number, expected[i].number) << i;
    EXPECT_EQ(answer->command.kindNumber, expected[i].kindNumber) << i;
  }
}

TEST(DeviceTest, RefusedWriteStoresNothingUntilItsTriesAreUsedUp) {
  FaultConfig faults;
  faults.refusedWrites = {{.block = 3, .tries = 4}};
  Device device(DeviceConfig{}, faults);
  const auto data = Pattern(9);
  for (int attempt = 1; attempt <= 4; ++attempt) {
    const auto answer = device.Handle(WritePayload("0001", 3, data));
    ASSERT_TRUE(answer);
    EXPECT_FALSE(answer->body) << "try " << attempt;
    EXPECT_EQ(device.Flash()[3 * kBlockSize], 0xFF) << "try " << attempt;
  }
  EXPECT_TRUE(device.Handle(WritePayload("0001", 3, data))->body) << "the fifth try goes through";
  EXPECT_EQ(device.Flash()[3 * kBlockSize], data[0]);
  EXPECT_TRUE(device.Handle(WritePayload("0001", 4, data))->body) << "other blocks are not refused";
}

TEST(DeviceTest, StoredBitFlipCorruptsTheFlashAndShowsInReadBack) {
  FaultConfig faults;
  faults.storedBitFlips = {{.block = 1, .byte = 10, .bit = 3}};
  Device device(DeviceConfig{}, faults);
  const auto data = Pattern(4);
  ASSERT_TRUE(device.Handle(WritePayload("0001", 1, data))->body);
  auto expected = data;
  expected[10] ^= 0x08;
  const auto flash = device.Flash();
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash.begin() + kBlockSize));
  EXPECT_EQ(*device.Handle("0001Zv0200")->body, "0001Zv" + BlockHex(expected));
}

TEST(DeviceTest, ReadBackFaultsLeaveTheFlashRight) {
  FaultConfig faults;
  faults.readbackBitFlips = {{.block = 0, .byte = 511, .bit = 7}};
  faults.lowercaseReadback = true;
  Device device(DeviceConfig{}, faults);
  const auto data = Pattern(5);
  ASSERT_TRUE(device.Handle(WritePayload("0001", 0, data))->body);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), device.Flash().begin()));

  auto flipped = data;
  flipped[511] ^= 0x80;
  std::string text = BlockHex(flipped);
  std::transform(text.begin(), text.end(), text.begin(),
                 [](char c) { return static_cast<char>(std::tolower(c)); });
  EXPECT_EQ(*device.Handle("0001Zv0000")->body, "0001Zv" + text);
}

TEST(DeviceTest, StartsFromTheGivenImageWithTheRestErased) {
  DeviceConfig config;
  config.initialFlash = Pattern(2);
  config.initialFlash.resize(kBlockSize + 3, 0x11);
  Device device(config, FaultConfig{});
  const auto flash = device.Flash();
  ASSERT_EQ(flash.size(), kFlashSize);
  EXPECT_TRUE(std::equal(config.initialFlash.begin(), config.initialFlash.end(), flash.begin()));
  EXPECT_EQ(flash[kBlockSize + 3], 0xFF);
  EXPECT_EQ(flash[kFlashSize - 1], 0xFF);
}

}  // namespace
}  // namespace ql::sim
