// Building the device commands.
#include "upgrade/device_commands.h"

#include <cstdio>

#include "link/frame.h"

namespace ql::upgrade {
namespace {

// The command letters followed by the block's byte address, as "Zp%04X".
std::string CommandWithAddress(std::string_view deviceId, const char* letters, int block) {
  char address[16];
  std::snprintf(address, sizeof address, "%s%04X", letters,
                static_cast<unsigned>(block) * image::kBlockSize);
  std::string command(deviceId);
  command += address;
  return command;
}

}  // namespace

std::string HandshakeCommand(std::string_view deviceId) {
  return std::string(deviceId) + "Zx5E2D";
}

std::string WriteCommand(std::string_view deviceId, int block,
                         std::span<const std::uint8_t, image::kBlockSize> data) {
  std::string command = CommandWithAddress(deviceId, "Zp", block);
  command += BlockDataText(data);
  return command;
}

std::string ReadBackCommand(std::string_view deviceId, int block) {
  return CommandWithAddress(deviceId, "Zv", block);
}

std::string RunCommand(std::string_view deviceId) {
  return std::string(deviceId) + "ZrC71A";
}

std::string BlockDataText(std::span<const std::uint8_t, image::kBlockSize> data) {
  std::string text;
  text.reserve(kBlockTextSize);
  for (const std::uint8_t b : data) {
    link::AppendHexByte(text, b);
  }
  return text;
}

bool ParseBlockDataText(std::string_view text, std::span<std::uint8_t, image::kBlockSize> data) {
  return text.size() == kBlockTextSize && link::DecodeUpperHex(text, data);
}

}  // namespace ql::upgrade
