// The block table: one allocation of 1024 rows for the whole run.
#include "image/block_table.h"

#include <algorithm>
#include <cassert>

namespace ql::image {

namespace {
constexpr std::size_t kTableBytes = static_cast<std::size_t>(kTableRows) * kRowSize;
}

// The six bytes at the end of each row are never used; they stay zero.
BlockTable::BlockTable() : bytes_(kTableBytes, 0) {
  Reset();
}

void BlockTable::Reset() {
  for (int row = 0; row < kTableRows; ++row) {
    const auto start = bytes_.begin() + static_cast<std::ptrdiff_t>(row) * kRowSize;
    std::fill(start, start + kFilledRowBytes, std::uint8_t{0xFF});
  }
}

std::span<std::uint8_t, kRowSize> BlockTable::Row(int row) {
  assert(row >= 0 && row < kTableRows);
  return std::span<std::uint8_t, kRowSize>(bytes_.data() + static_cast<std::size_t>(row) * kRowSize,
                                           kRowSize);
}

std::span<const std::uint8_t, kRowSize> BlockTable::Row(int row) const {
  assert(row >= 0 && row < kTableRows);
  return std::span<const std::uint8_t, kRowSize>(
      bytes_.data() + static_cast<std::size_t>(row) * kRowSize, kRowSize);
}

std::span<const std::uint8_t, kBlockSize> BlockTable::Block(int block) const {
  return Row(block).first<kBlockSize>();
}

}  // namespace ql::image
