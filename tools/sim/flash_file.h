// Loading the emulator's flash from a file and saving it to one.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ql::sim {

struct FlashImage {
  std::vector<std::uint8_t> bytes;
  std::string error;  // empty on success
};

// Reads a flash image: at most the flash's size; a shorter file fills the
// start of the flash and leaves the rest erased.
FlashImage LoadFlashFile(const std::string& path);

// Writes the flash through a temporary file in the same folder that then
// replaces `path`, so a reader never sees half a file. Empty on success,
// otherwise what went wrong.
std::string SaveFlashFile(const std::string& path, std::span<const std::uint8_t> flash);

}  // namespace ql::sim
