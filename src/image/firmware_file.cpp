// Reading a firmware image file: its header text, the whole of what a load
// uses in one read, and its image bytes into the block table in 512-byte
// blocks.
#include "image/firmware_file.h"

#include <algorithm>
#include <utility>

#include "image/regular_file.h"

namespace ql::image {
namespace {

std::string HeaderTextOf(const std::uint8_t* bytes, std::size_t count) {
  // Only the bytes the file holds count; the text ends at the first NUL.
  const std::uint8_t* end = std::find(bytes, bytes + count, std::uint8_t{0});
  return std::string(bytes, end);
}

// The image part of the file always counts 6 bytes more than the file holds
// after its header: the device image ends with 6 more copies of the file's
// last byte, and the block count follows from this length.
constexpr std::int64_t kLengthToDataCount = 10;

}  // namespace

std::optional<std::string> ReadHeaderText(const std::filesystem::path& path) {
  const RegularFileRead read = ReadRegularFile(path, kHeaderSize);
  if (read.end == RegularFileEnd::NotOpened) {
    return std::nullopt;
  }
  return HeaderTextOf(read.bytes.data(), read.bytes.size());
}

FirmwareRead ReadFirmwareFile(const std::filesystem::path& path) {
  // Only what a load can use is read: a file of several gigabytes is simply
  // long.
  RegularFileRead bytes = ReadRegularFile(path, kHeaderSize + std::size_t{kMaxImageBytes});
  FirmwareRead read;
  read.error = bytes.error;
  switch (bytes.end) {
    case RegularFileEnd::NotOpened:
      read.failure = ReadFailure::NotOpened;
      return read;
    case RegularFileEnd::ReadError:
      read.failure = ReadFailure::ReadError;
      return read;
    case RegularFileEnd::Changed:
      // Half one file and half another is never taken for the firmware.
      read.failure = ReadFailure::ChangedMeanwhile;
      return read;
    case RegularFileEnd::Read:
      break;
  }
  const std::size_t headerBytes = std::min<std::size_t>(bytes.bytes.size(), kHeaderSize);
  read.file.headerText = HeaderTextOf(bytes.bytes.data(), headerBytes);
  read.file.length = bytes.length;
  read.file.image.assign(bytes.bytes.begin() + static_cast<std::ptrdiff_t>(headerBytes),
                         bytes.bytes.end());
  return read;
}

LoadResult LoadFirmwareImage(const FirmwareFile& file, std::string_view deviceFamily,
                             BlockTable& table, std::int32_t& blockCount) {
  table.Reset();
  if (deviceFamily != kDeviceFamily) {
    return LoadResult::NotThisFamily;
  }
  // With no byte after the header the loop below would still count a block
  // (of fill, for files of 11 to 16 bytes) or none, and the device would be
  // left blank or told it holds nothing: never a firmware.
  if (file.length <= kHeaderSize || file.image.empty()) {
    blockCount = 0;
    return LoadResult::NoImage;
  }

  // Every position the loop fills: at most 126 rows, whatever the file's
  // size. A position past the last byte of the file repeats that byte.
  std::int64_t dataCount = file.length - kLengthToDataCount;
  const std::size_t got = std::min<std::size_t>(file.image.size(), kMaxImageBytes);

  int r = 1;              // the row being filled is r - 1
  int p = 0;              // the column being filled
  std::uint8_t b = 0xFF;  // the byte stored: the last one the file supplied
  std::size_t position = 0;
  while (dataCount >= 1) {
    if (position < got) {
      b = file.image[position];
    }
    ++position;
    table.Row(r - 1)[static_cast<std::size_t>(p)] = b;
    ++p;
    if (p == kBlockSize) {
      p = 0;
      ++r;
    }
    --dataCount;
    if (r > kMaxFileRows) {
      break;
    }
  }
  // r is now the number of rows that received at least one byte.
  if (p == 0 && r > 0) {
    --r;
  }
  blockCount = std::min(r, kMaxBlockCount);
  return LoadResult::Loaded;
}

LoadResult LoadFirmwareImage(const std::filesystem::path& path, std::string_view deviceFamily,
                             BlockTable& table, std::int32_t& blockCount) {
  const FirmwareRead read = ReadFirmwareFile(path);
  if (!read.Ok()) {
    table.Reset();
    return LoadResult::OpenFailed;
  }
  return LoadFirmwareImage(read.file, deviceFamily, table, blockCount);
}

}  // namespace ql::image
