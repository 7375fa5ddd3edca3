// Files and descriptors through the POSIX calls.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "checked_files.h"
#include "file_system.h"
#include "link/errno_text.h"

namespace ql::flash {

long WriteSome(int fd, const void* data, std::size_t size, int& error) {
  while (true) {
    const ssize_t n = ::write(fd, data, size);
    if (n >= 0) {
      return static_cast<long>(n);
    }
    if (errno != EINTR) {
      error = errno;
      return -1;
    }
  }
}

long ReadSome(int fd, void* into, std::size_t size, int& error) {
  while (true) {
    const ssize_t n = ::read(fd, into, size);
    if (n >= 0) {
      return static_cast<long>(n);
    }
    if (errno != EINTR) {
      error = errno;
      return -1;
    }
  }
}

int SyncFile(int fd) {
  return ::fsync(fd) == 0 ? 0 : errno;
}

void CloseFile(int fd) {
  ::close(fd);
}

int OpenAppendFile(const std::string& path, int& error) {
  // Never blocks on a FIFO, and only a regular file is opened.
  const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    error = 0;
    ::close(fd);
    return -1;
  }
  if (::fcntl(fd, F_SETFL, O_APPEND) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
    error = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}

int OpenReadFile(const std::string& path, int& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    error = 0;
    ::close(fd);
    return -1;
  }
  return fd;
}

std::FILE* OpenStreamForWriting(const std::string& path, int& error) {
  std::FILE* file = std::fopen(path.c_str(), "we");
  if (file == nullptr) {
    error = errno;
  }
  return file;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  const bool firstFound = ::stat(a.c_str(), &first) == 0;
  const bool secondFound = ::stat(b.c_str(), &second) == 0;
  if (firstFound && secondFound) {
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
  }
  if (firstFound != secondFound) {
    return false;
  }
  std::error_code firstError;
  std::error_code secondError;
  const auto firstPlace = std::filesystem::weakly_canonical(a, firstError);
  const auto secondPlace = std::filesystem::weakly_canonical(b, secondError);
  return !firstError && !secondError && firstPlace == secondPlace;
}

std::string FileOpenError(const std::string& path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    return link::ErrnoText(EISDIR);
  }
  // A FIFO or a device is no firmware file, and opening one could block.
  if (std::filesystem::exists(path, error) && !std::filesystem::is_regular_file(path, error)) {
    return "not a regular file";
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return link::ErrnoText(errno);
  }
  ::close(fd);
  return {};
}

}  // namespace ql::flash
