// The CRC-16 that protects every request and reply frame.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace ql::link {

// The standard table of CRC-16/ARC, split into the high and the low bytes of
// its 256 entries.
extern const std::array<std::uint8_t, 256> kCrcHigh;
extern const std::array<std::uint8_t, 256> kCrcLow;

// CRC-16/ARC of the bytes; "123456789" gives 0xBB3D.
std::uint16_t FrameCrc(std::span<const std::uint8_t> bytes);

}  // namespace ql::link
