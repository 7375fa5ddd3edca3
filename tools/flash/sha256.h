// SHA-256 of a byte string, for naming the firmware a unit was given in the
// station log: the same file gives the same name on every machine.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace ql::flash {

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest Sha256(std::span<const std::uint8_t> bytes);

// The digest as 64 lowercase hexadecimal digits, as sha256sum prints it.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace ql::flash
