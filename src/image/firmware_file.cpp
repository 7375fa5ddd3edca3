// Reading a firmware image file: its header text, the whole of what a load
// uses in one read, and its image bytes into the block table in 512-byte
// blocks.
#include "image/firmware_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

namespace ql::image {
namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor& operator=(Descriptor&&) = delete;
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

// Opens an existing file for reading as raw bytes. Only a regular file
// (after links) is a firmware file: a FIFO would block the open until some
// writer came, a device would be read without end or disturbed by the open
// (a serial port changes its modem lines), a folder holds no bytes. So
// nothing else is opened at all, and the open cannot block, so that one
// swapped in after the first look is caught on the opened descriptor.
// `error` receives errno where the system gave one, else 0.
Descriptor OpenForReading(const std::filesystem::path& path, int& error) {
  error = 0;
  struct stat status {};
  if (path.empty()) {
    error = ENOENT;
    return Descriptor(-1);
  }
  if (::stat(path.c_str(), &status) != 0) {
    error = errno;
    return Descriptor(-1);
  }
  if (!S_ISREG(status.st_mode)) {
    error = S_ISDIR(status.st_mode) ? EISDIR : 0;
    return Descriptor(-1);
  }
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    error = errno;
    return fd;
  }
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return Descriptor(-1);
  }
  // Plain blocking reads from here on, as for any file.
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    error = errno;
    return Descriptor(-1);
  }
  return fd;
}

// Reads up to `size` bytes into `into`; the count read (fewer only at the
// end of the file), or -1 with errno set.
std::int64_t ReadUpTo(int fd, std::uint8_t* into, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, into + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      return -1;
    }
  }
  return static_cast<std::int64_t>(done);
}

std::string HeaderTextOf(const std::uint8_t* bytes, std::size_t count) {
  // Only the bytes the file holds count; the text ends at the first NUL.
  const std::uint8_t* end = std::find(bytes, bytes + count, std::uint8_t{0});
  return std::string(bytes, end);
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The image part of the file always counts 6 bytes more than the file holds
// after its header: the device image ends with 6 more copies of the file's
// last byte, and the block count follows from this length.
constexpr std::int64_t kLengthToDataCount = 10;

}  // namespace

std::optional<std::string> ReadHeaderText(const std::filesystem::path& path) {
  int error = 0;
  const Descriptor fd = OpenForReading(path, error);
  if (!fd) {
    return std::nullopt;
  }
  std::array<std::uint8_t, kHeaderSize> header{};
  const std::int64_t got = ReadUpTo(fd.get(), header.data(), header.size());
  return HeaderTextOf(header.data(), got > 0 ? static_cast<std::size_t>(got) : 0);
}

FirmwareRead ReadFirmwareFile(const std::filesystem::path& path) {
  FirmwareRead read;
  const Descriptor fd = OpenForReading(path, read.error);
  if (!fd) {
    read.failure = ReadFailure::NotOpened;
    return read;
  }
  struct stat before {};
  if (::fstat(fd.get(), &before) != 0) {
    read.failure = ReadFailure::ReadError;
    read.error = errno;
    return read;
  }
  // The length from the file system, 64 bits wide: a file of several
  // gigabytes is simply long, and only what a load can use is read.
  const std::int64_t length = before.st_size;
  const auto wanted = static_cast<std::size_t>(
      std::min<std::int64_t>(length, std::int64_t{kHeaderSize} + kMaxImageBytes));
  std::vector<std::uint8_t> bytes(wanted);
  const std::int64_t got = ReadUpTo(fd.get(), bytes.data(), bytes.size());
  if (got < 0) {
    read.failure = ReadFailure::ReadError;
    read.error = errno;
    return read;
  }
  // A file cut short, or written to, while it was read would give a copy
  // that is half one file and half another.
  struct stat after {};
  if (static_cast<std::size_t>(got) != wanted || ::fstat(fd.get(), &after) != 0 ||
      !SameFile(before, after)) {
    read.failure = ReadFailure::ChangedMeanwhile;
    return read;
  }
  const std::size_t headerBytes = std::min<std::size_t>(wanted, kHeaderSize);
  read.file.headerText = HeaderTextOf(bytes.data(), headerBytes);
  read.file.length = length;
  read.file.image.assign(bytes.begin() + static_cast<std::ptrdiff_t>(headerBytes), bytes.end());
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
