// Writes arbitrary bytes as a firmware file and loads it, and checks the
// block table against what the file says it must hold: the bytes after the
// header, then six more copies of the file's last byte (0xFF when the file
// has no image byte), cut after 126 rows; the block count from the length,
// never above 124; and 0xFF everywhere else. A load for another device
// family must leave the count alone and the table blank; a file with nothing
// after its header is never loaded (count 0, table blank).
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>

#include "fuzz_support.h"
#include "image/block_table.h"
#include "image/firmware_file.h"

namespace {

using namespace ql::image;

using ql::fuzz::Require;
using ql::fuzz::WriteFile;

std::filesystem::path FilePath() {
  return ql::fuzz::TempFolder(std::filesystem::temp_directory_path(), "ql-fuzz-image") / "fuzz.QLB";
}

// Every reset byte of every row scribbled over, so a load that forgets to
// reset shows.
void Scribble(BlockTable& table) {
  for (int row = 0; row < kTableRows; ++row) {
    std::fill_n(table.Row(row).begin(), kFilledRowBytes, std::uint8_t{0x5A});
  }
}

bool IsBlank(std::span<const std::uint8_t, kFilledRowBytes> bytes) {
  static const std::array<std::uint8_t, kFilledRowBytes> kBlank = [] {
    std::array<std::uint8_t, kFilledRowBytes> blank{};
    blank.fill(0xFF);
    return blank;
  }();
  return std::memcmp(bytes.data(), kBlank.data(), kBlank.size()) == 0;
}

// The byte that image position `position` must hold, for a file of `size`
// bytes.
std::uint8_t Expected(const std::uint8_t* data, std::size_t size, std::size_t position) {
  const std::size_t fileOffset = kHeaderSize + position;
  if (fileOffset < size) {
    return data[fileOffset];
  }
  return size > static_cast<std::size_t>(kHeaderSize) ? data[size - 1] : std::uint8_t{0xFF};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static BlockTable table;
  const auto path = FilePath();
  WriteFile(path, data, size);

  // Another family: the file opens, nothing is read, the count stays.
  Scribble(table);
  std::int32_t count = 77;
  Require(LoadFirmwareImage(path, "02200002", table, count) == LoadResult::NotThisFamily,
          "other family result");
  Require(count == 77, "other family keeps the count");
  for (int row = 0; row < kTableRows; ++row) {
    Require(IsBlank(table.Row(row).first<kFilledRowBytes>()),
            "other family leaves the table blank");
  }

  Scribble(table);
  count = 77;
  if (size <= static_cast<std::size_t>(kHeaderSize)) {
    Require(LoadFirmwareImage(path, kDeviceFamily, table, count) == LoadResult::NoImage,
            "no image");
    Require(count == 0, "no image gives no blocks");
    for (int row = 0; row < kTableRows; ++row) {
      Require(IsBlank(table.Row(row).first<kFilledRowBytes>()), "no image leaves the table blank");
    }
    return 0;
  }
  Require(LoadFirmwareImage(path, kDeviceFamily, table, count) == LoadResult::Loaded, "loaded");

  // Positions the load fills: six more than the bytes after the header, at
  // most 126 rows.
  const std::int64_t dataCount = static_cast<std::int64_t>(size) - 10;
  const std::size_t positions = static_cast<std::size_t>(
      std::clamp<std::int64_t>(dataCount, 0, std::int64_t{kMaxFileRows} * kBlockSize));
  const std::size_t rowsFilled = (positions + kBlockSize - 1) / kBlockSize;
  Require(count >= 0 && count <= kMaxBlockCount, "count in range");
  Require(count == static_cast<std::int32_t>(std::min<std::size_t>(rowsFilled, kMaxBlockCount)),
          "count from the length");

  for (int row = 0; row < kTableRows; ++row) {
    const auto bytes = table.Row(row);
    if (static_cast<std::size_t>(row) >= rowsFilled) {
      Require(IsBlank(bytes.first<kFilledRowBytes>()), "rows past the image are blank");
      continue;
    }
    for (std::size_t column = 0; column < static_cast<std::size_t>(kFilledRowBytes); ++column) {
      const std::size_t position = static_cast<std::size_t>(row) * kBlockSize + column;
      const bool filled = column < static_cast<std::size_t>(kBlockSize) && position < positions;
      const std::uint8_t want = filled ? Expected(data, size, position) : std::uint8_t{0xFF};
      if (bytes[column] != want) {
        std::fprintf(stderr, "row %d column %zu: 0x%02X, want 0x%02X\n", row, column, bytes[column],
                     want);
        Require(false, "table contents");
      }
    }
  }
  return 0;
}
