// Reading a firmware image file: its header text, and its image bytes into
// the block table in 512-byte blocks.
#include "image/firmware_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <vector>

namespace ql::image {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Opens an existing file for reading as raw bytes. Only a regular file
// (after links) is a firmware file: a FIFO would block the open until some
// writer came, a device would be read without end or disturbed by the open
// (a serial port changes its modem lines), a folder holds no bytes. So
// nothing else is opened at all, and the open cannot block, so that one
// swapped in after the first look is caught on the opened descriptor.
File OpenForReading(const std::filesystem::path& path) {
  struct stat status {};
  if (path.empty() || ::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return nullptr;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return nullptr;
  }
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  // Plain blocking reads from here on, as for any file.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    ::close(fd);
  }
  return File(file);
}

// The file's length in bytes, or -1 when it cannot be told.
std::int64_t LengthOf(std::FILE* file) {
  if (std::fseek(file, 0, SEEK_END) != 0) {
    return -1;
  }
  const long length = std::ftell(file);
  if (length < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
    return -1;
  }
  return length;
}

constexpr std::int64_t kMaxImageBytes = static_cast<std::int64_t>(kMaxFileRows) * kBlockSize;

// The image part of the file always counts 6 bytes more than the file holds
// after its header: the device image ends with 6 more copies of the file's
// last byte, and the block count follows from this length.
constexpr std::int64_t kLengthToDataCount = 10;

}  // namespace

std::optional<std::string> ReadHeaderText(const std::filesystem::path& path) {
  File file = OpenForReading(path);
  if (!file) {
    return std::nullopt;
  }
  std::array<char, kHeaderSize> header{};
  const std::size_t got = std::fread(header.data(), 1, header.size(), file.get());
  // Only the bytes the file holds count; the text ends at the first NUL.
  const auto end = std::find(header.begin(), header.begin() + got, '\0');
  return std::string(header.begin(), end);
}

LoadResult LoadFirmwareImage(const std::filesystem::path& path, std::string_view deviceFamily,
                             BlockTable& table, std::int32_t& blockCount) {
  table.Reset();
  File file = OpenForReading(path);
  if (!file) {
    return LoadResult::OpenFailed;
  }
  // Without a length the block count cannot be known: treat such a file as
  // one that cannot be loaded rather than guess.
  const std::int64_t length = LengthOf(file.get());
  if (length < 0) {
    return LoadResult::OpenFailed;
  }
  // Skip the header: its text was shown at selection and plays no part in the
  // image. A file shorter than the header simply has fewer bytes to skip.
  std::array<std::uint8_t, kHeaderSize> header{};
  [[maybe_unused]] const std::size_t skipped =
      std::fread(header.data(), 1, header.size(), file.get());

  std::int64_t dataCount = length - kLengthToDataCount;
  if (deviceFamily != kDeviceFamily) {
    return LoadResult::NotThisFamily;
  }

  // Every position the loop below fills, read in one go: at most 126 rows,
  // whatever the file's size. A position past the last byte read repeats
  // that byte; before any byte it is the fill value 0xFF.
  const auto positions =
      static_cast<std::size_t>(std::clamp<std::int64_t>(dataCount, 0, kMaxImageBytes));
  std::vector<std::uint8_t> bytes(positions);
  const std::size_t got = std::fread(bytes.data(), 1, positions, file.get());

  int r = 1;              // the row being filled is r - 1
  int p = 0;              // the column being filled
  std::uint8_t b = 0xFF;  // the byte stored: the last one read from the file
  std::size_t position = 0;
  while (dataCount >= 1) {
    if (position < got) {
      b = bytes[position];
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

}  // namespace ql::image
