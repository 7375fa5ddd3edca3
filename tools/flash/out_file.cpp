// The bytes of the file --read-flash writes; putting it in place is each
// platform's (out_file_posix.cpp, out_file_win32.cpp).
#include "out_file.h"

#include <algorithm>

#include "image/firmware_file.h"

namespace ql::flash {

std::vector<std::uint8_t> FlashFileBytes(std::string_view deviceInfo,
                                         const image::BlockTable& table, int blockCount) {
  std::vector<std::uint8_t> bytes(image::kHeaderSize, 0);
  std::copy_n(deviceInfo.begin(), std::min<std::size_t>(deviceInfo.size(), image::kHeaderSize),
              bytes.begin());
  for (int block = 0; block < blockCount; ++block) {
    const auto data = table.Block(block);
    bytes.insert(bytes.end(), data.begin(), data.end());
  }
  return bytes;
}

}  // namespace ql::flash
