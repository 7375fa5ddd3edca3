// The firmware image as the device receives it: a fixed table of rows, one
// 512-byte block at the start of each, and the number of blocks to program.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace ql::image {

inline constexpr int kBlockSize = 512;
inline constexpr int kTableRows = 1024;
inline constexpr int kRowSize = 1030;
inline constexpr int kFilledRowBytes = 1024;  // bytes of a row that every load resets
inline constexpr int kMaxFileRows = 126;      // rows a load can fill from the file
inline constexpr int kMaxBlockCount = 124;    // rows the device ever receives

// 1024 rows of 1030 bytes, allocated once for the life of the table and
// never resized.
class BlockTable {
 public:
  BlockTable();

  // Bytes 0 to 1023 of every row := 0xFF.
  void Reset();

  std::span<std::uint8_t, kRowSize> Row(int row);
  std::span<const std::uint8_t, kRowSize> Row(int row) const;

  // Bytes 0 to 511 of row `block`.
  std::span<const std::uint8_t, kBlockSize> Block(int block) const;

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace ql::image
