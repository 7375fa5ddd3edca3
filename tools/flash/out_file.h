// The file --read-flash writes: the device information of the handshake as
// its 16-byte header, then the 124 blocks read back. It is written beside
// its final name and put in place whole, or not at all, and an existing file
// is replaced only when asked to.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/block_table.h"

namespace ql::flash {

// The bytes of the file: `deviceInfo` cut or padded with NULs to 16 bytes,
// then blocks 0 to blockCount - 1 of `table`.
std::vector<std::uint8_t> FlashFileBytes(std::string_view deviceInfo,
                                         const image::BlockTable& table, int blockCount);

class OutputFile {
 public:
  // Refuses a `path` that exists unless `replace`, and even then anything at
  // `path` but a regular file or a symbolic link (a device node, a FIFO, a
  // socket, a folder); creates the temporary file in its folder, so a file
  // that cannot be written is known before the device is read. nullptr, with
  // the reason in `why`, when it cannot be.
  static std::unique_ptr<OutputFile> Prepare(const std::string& path, bool replace,
                                             std::string& why);
  // Removes the temporary file unless it was put in place.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Writes `bytes` into the temporary file, flushes it to the disk and gives
  // it its final name: without `replace` only while no file of that name
  // exists, also one made meanwhile; with `replace` only over what Prepare
  // would replace, looked at again now. False, with the reason, when it
  // fails; the temporary file is then gone and `path` untouched.
  bool Commit(std::span<const std::uint8_t> bytes, std::string& why);

  // The temporary file's name, for removal on the way out in a hurry.
  const std::string& temporaryPath() const { return temporary_; }

 private:
  OutputFile(std::string path, std::string temporary, int fd, bool replace);

  std::string path_;
  std::string temporary_;
  int fd_;
  bool replace_;
  bool committed_ = false;
};

}  // namespace ql::flash
