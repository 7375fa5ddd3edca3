// The four commands the utility sends, as payloads for the command exchange.
// Each begins with the device ID the operator addresses.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "image/block_table.h"

namespace ql::upgrade {

// Characters of a block's data in a write command or a read-back reply.
inline constexpr std::size_t kBlockTextSize = 2 * image::kBlockSize;

// <ID>Zx5E2D: puts the device into upgrade mode and asks for its model.
std::string HandshakeCommand(std::string_view deviceId);

// <ID>Zp<address><data>: writes one block. The address is block x 512 in
// four uppercase hexadecimal digits, the data its 512 bytes as 1024
// uppercase hexadecimal characters.
std::string WriteCommand(std::string_view deviceId, int block,
                         std::span<const std::uint8_t, image::kBlockSize> data);

// <ID>Zv<address>: asks for one block back.
std::string ReadBackCommand(std::string_view deviceId, int block);

// <ID>ZrC71A: tells the device to run the new firmware.
std::string RunCommand(std::string_view deviceId);

// The 512 bytes as 1024 uppercase hexadecimal characters.
std::string BlockDataText(std::span<const std::uint8_t, image::kBlockSize> data);

// The other way: 1024 uppercase hexadecimal characters into 512 bytes. False,
// with `data` unspecified, for any other text (lowercase, short, long).
bool ParseBlockDataText(std::string_view text, std::span<std::uint8_t, image::kBlockSize> data);

}  // namespace ql::upgrade
