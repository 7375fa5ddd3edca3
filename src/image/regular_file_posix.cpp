// Reading the first bytes of a regular file through open, fstat and read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "image/regular_file.h"

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
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

// Opens `path` for reading when it is a regular file; -1 otherwise, with
// `error` set to errno where the system gave one.
int OpenRegular(const std::filesystem::path& path, int& error) {
  struct stat status {};
  if (path.empty()) {
    error = ENOENT;
    return -1;
  }
  if (::stat(path.c_str(), &status) != 0) {
    error = errno;
    return -1;
  }
  if (!S_ISREG(status.st_mode)) {
    error = S_ISDIR(status.st_mode) ? EISDIR : 0;
    return -1;
  }
  // Never waiting: a FIFO swapped in after the look above would block a
  // plain open until some writer came.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  // Plain blocking reads from here on, as for any file.
  const int flags = ::fcntl(fd, F_GETFL);
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || flags < 0 ||
      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    error = S_ISREG(status.st_mode) ? errno : 0;
    ::close(fd);
    return -1;
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

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace

RegularFileRead ReadRegularFile(const std::filesystem::path& path, std::size_t limit) {
  RegularFileRead read;
  const Descriptor fd(OpenRegular(path, read.error));
  if (!fd) {
    read.end = RegularFileEnd::NotOpened;
    return read;
  }
  struct stat before {};
  if (::fstat(fd.get(), &before) != 0) {
    read.end = RegularFileEnd::ReadError;
    read.error = errno;
    return read;
  }
  read.length = before.st_size;
  const auto wanted = static_cast<std::size_t>(
      std::min<std::int64_t>(read.length, static_cast<std::int64_t>(limit)));
  read.bytes.resize(wanted);
  const std::int64_t got = ReadUpTo(fd.get(), read.bytes.data(), read.bytes.size());
  if (got < 0) {
    read.end = RegularFileEnd::ReadError;
    read.error = errno;
    read.bytes.clear();
    return read;
  }
  read.bytes.resize(static_cast<std::size_t>(got));
  struct stat after {};
  read.end = static_cast<std::size_t>(got) == wanted && ::fstat(fd.get(), &after) == 0 &&
                     SameFile(before, after)
                 ? RegularFileEnd::Read
                 : RegularFileEnd::Changed;
  return read;
}

}  // namespace ql::image
