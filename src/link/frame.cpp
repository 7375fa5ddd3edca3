// Building request and reply frames.
#include "link/frame.h"

#include "link/crc16.h"

namespace ql::link {
namespace {

char HexDigit(unsigned nibble) {
  return static_cast<char>(nibble < 10 ? 0x30 + nibble : 0x37 + nibble);
}

std::vector<std::uint8_t> BuildFrame(std::uint8_t start, std::string_view inner, std::uint8_t end) {
  std::vector<std::uint8_t> frame;
  frame.reserve(inner.size() + kFrameOverhead);
  frame.push_back(start);
  frame.insert(frame.end(), inner.begin(), inner.end());
  frame.push_back(end);
  for (const char c : CrcText(FrameCrc(frame))) {
    frame.push_back(static_cast<std::uint8_t>(c));
  }
  frame.push_back(kCr);
  return frame;
}

}  // namespace

std::array<char, 2> HexByte(std::uint8_t value) {
  return {HexDigit(value >> 4), HexDigit(value & 0x0F)};
}

void AppendHexByte(std::string& out, std::uint8_t value) {
  const auto hex = HexByte(value);
  out.append(hex.data(), hex.size());
}

int UpperHexValue(char c) {
  return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

bool DecodeUpperHex(std::string_view text, std::span<std::uint8_t> out) {
  if (text.size() != 2 * out.size()) {
    return false;
  }
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int high = UpperHexValue(text[2 * i]);
    const int low = UpperHexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) {
      return false;
    }
    out[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return true;
}

std::array<char, 4> CrcText(std::uint16_t crc) {
  const auto high = HexByte(static_cast<std::uint8_t>(crc >> 8));
  const auto low = HexByte(static_cast<std::uint8_t>(crc & 0xFF));
  return {high[0], high[1], low[0], low[1]};
}

std::vector<std::uint8_t> BuildRequest(std::string_view payload) {
  return BuildFrame(kRequestStart, payload, kRequestEnd);
}

std::vector<std::uint8_t> BuildReply(std::string_view body) {
  return BuildFrame(kReplyStart, body, kReplyEnd);
}

}  // namespace ql::link
