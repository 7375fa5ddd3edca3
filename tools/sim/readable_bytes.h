// Bytes of the link written for a person to read in the log.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace ql::sim {

// Printable ASCII as it stands, every other byte as <XX> in hexadecimal.
// Past `limit` characters the middle is left out and its size given, so a
// 1037-byte read-back stays one readable line.
std::string ReadableBytes(std::span<const std::uint8_t> bytes, std::size_t limit = 96);
std::string ReadableBytes(std::string_view bytes, std::size_t limit = 96);

}  // namespace ql::sim
