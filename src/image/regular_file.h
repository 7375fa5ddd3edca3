// What reading a firmware file asks of the system: the first bytes of a
// regular file, read once. Each platform brings its own implementation
// (regular_file_posix.cpp, regular_file_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace ql::image {

enum class RegularFileEnd {
  Read,       // `bytes` holds the first bytes, as many as were asked for or the file holds
  NotOpened,  // missing, not allowed, or not a regular file; `error` may say why
  ReadError,  // `error` holds the system's reason
  Changed,    // the file's length or time changed while it was read, or it ended early
};

struct RegularFileRead {
  RegularFileEnd end = RegularFileEnd::NotOpened;
  int error = 0;                    // errno, where the system gave one
  std::int64_t length = 0;          // the file's length when it was opened, 64 bits wide
  std::vector<std::uint8_t> bytes;  // what was read, from the start of the file
};

// Reads the first `limit` bytes of the file at `path` (all of it when it is
// shorter). Only a regular file (after links) is opened at all, and the open
// never waits: a FIFO would block it until some writer came, a device would
// be read without end or disturbed by the open (a serial port changes its
// modem lines), a folder holds no bytes (EISDIR). What was swapped in after
// a first look is caught on the opened file. A file written while it is read
// is Changed: a torn copy, half one file and half another. `bytes` holds
// what was read in every end but NotOpened and ReadError.
RegularFileRead ReadRegularFile(const std::filesystem::path& path, std::size_t limit);

}  // namespace ql::image
