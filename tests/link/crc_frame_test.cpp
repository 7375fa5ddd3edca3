// CRC-16/ARC, HexByte and the request and reply frames.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "link/crc16.h"
#include "link/frame.h"

namespace ql::link {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view s) {
  return {s.begin(), s.end()};
}

// The CRC computed bit by bit, independently of the table.
std::uint16_t BitwiseCrc(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0;
  for (const std::uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
  }
  return crc;
}

TEST(FrameCrc, CheckValueAndWorkedFrames) {
  struct Case {
    std::string input;
    std::uint16_t crc;
  };
  const Case cases[] = {
      {"123456789", 0xBB3D},
      {"", 0x0000},
      {"\x01"
       "abc"
       "\x02",
       0xD32A},
      {"\x01\x02", 0x5180},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FrameCrc(Bytes(c.input)), c.crc) << "input of " << c.input.size() << " bytes";
  }
}

TEST(FrameCrc, TableAgreesWithTheBitwiseAlgorithm) {
  for (int b = 0; b < 256; ++b) {
    const std::uint8_t one[] = {static_cast<std::uint8_t>(b)};
    ASSERT_EQ(FrameCrc(one), BitwiseCrc(one)) << "byte " << b;
  }
  std::mt19937 random(7);
  std::vector<std::uint8_t> data(1500);
  for (auto& byte : data) {
    byte = static_cast<std::uint8_t>(random());
  }
  EXPECT_EQ(FrameCrc(data), BitwiseCrc(data));
}

TEST(HexByte, UppercaseHighNibbleFirst) {
  struct Case {
    std::uint8_t value;
    std::string text;
  };
  const Case cases[] = {{0x00, "00"}, {0x0A, "0A"}, {0x9F, "9F"}, {0xA0, "A0"}, {0xFF, "FF"}};
  for (const auto& c : cases) {
    const auto hex = HexByte(c.value);
    EXPECT_EQ(std::string(hex.data(), 2), c.text);
    std::string appended = "x";
    AppendHexByte(appended, c.value);
    EXPECT_EQ(appended, "x" + c.text);
  }
  const auto crc = CrcText(0xD32A);
  EXPECT_EQ(std::string(crc.data(), 4), "D32A");
}

TEST(BuildRequest, WorkedFrames) {
  struct Case {
    std::string payload;
    std::vector<std::uint8_t> frame;
  };
  const Case cases[] = {
      {"abc", {0x01, 0x61, 0x62, 0x63, 0x02, 0x44, 0x33, 0x32, 0x41, 0x0D}},
      {"", {0x01, 0x02, 0x35, 0x31, 0x38, 0x30, 0x0D}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BuildRequest(c.payload), c.frame) << "payload \"" << c.payload << "\"";
  }
}

TEST(BuildReply, StartEndMarkersAndCrcOverStartThroughEnd) {
  const auto frame = BuildReply("0001OKdata");
  ASSERT_EQ(frame.size(), 10u + kFrameOverhead);
  EXPECT_EQ(frame.front(), kReplyStart);
  EXPECT_EQ(frame[11], kReplyEnd);
  EXPECT_EQ(frame.back(), kCr);
  const auto crc = CrcText(FrameCrc(std::span(frame.data(), 12)));
  EXPECT_EQ(std::string(frame.begin() + 12, frame.begin() + 16), std::string(crc.data(), 4));
}

}  // namespace
}  // namespace ql::link
