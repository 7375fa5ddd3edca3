// Request and reply frames of the device protocol.
//
//   request: 0x01, payload, 0x02, CRC as 4 uppercase hex characters, CR
//   reply:   0x03, body,    0x04, CRC as 4 uppercase hex characters, CR
//
// The CRC covers the start byte through the end marker, high byte first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ql::link {

inline constexpr std::uint8_t kRequestStart = 0x01;
inline constexpr std::uint8_t kRequestEnd = 0x02;
inline constexpr std::uint8_t kReplyStart = 0x03;
inline constexpr std::uint8_t kReplyEnd = 0x04;
inline constexpr std::uint8_t kCr = 0x0D;

// Every frame is built and collected in buffers of this size.
inline constexpr std::size_t kFrameBufferSize = 1500;
inline constexpr std::size_t kFrameOverhead = 7;
inline constexpr std::size_t kMaxPayload = kFrameBufferSize - kFrameOverhead;

// A byte as two uppercase hexadecimal characters, high nibble first.
std::array<char, 2> HexByte(std::uint8_t value);
void AppendHexByte(std::string& out, std::uint8_t value);

// The value of an uppercase hexadecimal character; -1 for any other (the
// frames never carry lowercase).
int UpperHexValue(char c);

// Decodes `text`, two uppercase hexadecimal characters a byte, into `out`,
// which holds exactly text.size() / 2 bytes. False, with `out` partly
// written, for any other character or length.
bool DecodeUpperHex(std::string_view text, std::span<std::uint8_t> out);

// The CRC of `bytes` as the four characters a frame carries.
std::array<char, 4> CrcText(std::uint16_t crc);

// The request frame for `payload`: payload.size() + 7 bytes.
std::vector<std::uint8_t> BuildRequest(std::string_view payload);

// The reply frame for `body`: body.size() + 7 bytes.
std::vector<std::uint8_t> BuildReply(std::string_view body);

}  // namespace ql::link
