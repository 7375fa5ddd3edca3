// Reading a firmware image file: the header text shown when the file is
// selected, the file read once into memory, and the load of its image bytes
// into the block table.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/block_table.h"

namespace ql::image {

inline constexpr int kHeaderSize = 16;
// The most image bytes a load can use: 126 rows, whatever the file's size.
inline constexpr int kMaxImageBytes = kMaxFileRows * kBlockSize;
// The family a handshake records; only then does a load read image bytes.
inline constexpr std::string_view kDeviceFamily = "02200001";
// What the header panel shows once a load has opened the file.
inline constexpr std::string_view kModelText = "QL480TX-V5";

// The header text: the first 16 bytes (or as many as the file holds), cut at
// the first NUL. nullopt when the file cannot be opened; anything but a
// regular file (after links) cannot be: a FIFO, a device, a socket, a folder
// or a dangling link gives nullopt at once, never a wait.
std::optional<std::string> ReadHeaderText(const std::filesystem::path& path);

// A firmware file as it was read, once: everything a load uses, so that the
// header shown, the block count and every block written come from the same
// bytes however the file changes afterwards.
struct FirmwareFile {
  std::string headerText;           // as ReadHeaderText gives it
  std::int64_t length = 0;          // the file's length in bytes
  std::vector<std::uint8_t> image;  // the bytes after the header, at most kMaxImageBytes
};

enum class ReadFailure {
  None,
  NotOpened,         // missing, not allowed, or not a regular file; `error` may say why
  ReadError,         // `error` holds the system's reason
  ChangedMeanwhile,  // the file's length or time changed while it was read
};

struct FirmwareRead {
  ReadFailure failure = ReadFailure::None;
  int error = 0;      // errno, where the system gave one
  FirmwareFile file;  // only when failure is None
  bool Ok() const { return failure == ReadFailure::None; }
};

// Reads the header and up to kMaxImageBytes image bytes of the file at
// `path`, opened as ReadHeaderText opens it (regular files only, never a
// wait). A file written while it is read (its length or modification time
// differ before and after, or it ends before its length) is ChangedMeanwhile:
// a torn copy is never taken for the firmware.
FirmwareRead ReadFirmwareFile(const std::filesystem::path& path);

enum class LoadResult {
  Loaded,         // the table and the count hold the file's image
  OpenFailed,     // the file could not be read: the table is all 0xFF, the count unchanged
  NotThisFamily,  // the family is not ours: nothing loaded, count unchanged
  NoImage,        // nothing after the 16-byte header: the table is all 0xFF, the count 0
};

// Resets the table, then fills it from the file's image bytes and sets
// `blockCount` (1 to 124). The image is the bytes after the header followed
// by six more copies of the file's last byte, cut after 126 rows; the count is
// the rows it fills, at most 124. A file of 16 bytes or fewer holds no image:
// writing it would leave the device blank, so it is NoImage.
LoadResult LoadFirmwareImage(const FirmwareFile& file, std::string_view deviceFamily,
                             BlockTable& table, std::int32_t& blockCount);

// The same, reading the file at `path` first (ReadFirmwareFile); a file that
// cannot be read is OpenFailed.
LoadResult LoadFirmwareImage(const std::filesystem::path& path, std::string_view deviceFamily,
                             BlockTable& table, std::int32_t& blockCount);

}  // namespace ql::image
