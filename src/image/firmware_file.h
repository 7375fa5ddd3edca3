// Reading a firmware image file: the header text shown when the file is
// selected, and the load of its image bytes into the block table.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "image/block_table.h"

namespace ql::image {

inline constexpr int kHeaderSize = 16;
// The family a handshake records; only then does a load read image bytes.
inline constexpr std::string_view kDeviceFamily = "02200001";
// What the header panel shows once a load has opened the file.
inline constexpr std::string_view kModelText = "QL480TX-V5";

// The header text: the first 16 bytes (or as many as the file holds), cut at
// the first NUL. nullopt when the file cannot be opened; anything but a
// regular file (after links) cannot be: a FIFO, a device, a socket, a folder
// or a dangling link gives nullopt at once, never a wait.
std::optional<std::string> ReadHeaderText(const std::filesystem::path& path);

enum class LoadResult {
  Loaded,         // the table and the count hold the file's image
  OpenFailed,     // nothing read; the table is all 0xFF, the count unchanged
  NotThisFamily,  // the file opened but the family is not ours: count unchanged
};

// Resets the table, then fills it from the file's image bytes and sets
// `blockCount` (0 to 124). A path that is not a regular file is OpenFailed at
// once, as for ReadHeaderText. The header panel shows kModelText after any result
// but OpenFailed. At most 64,512 image bytes are read, whatever the file's size.
LoadResult LoadFirmwareImage(const std::filesystem::path& path, std::string_view deviceFamily,
                             BlockTable& table, std::int32_t& blockCount);

}  // namespace ql::image
