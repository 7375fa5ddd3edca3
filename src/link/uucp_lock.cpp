// Serial-device lock files in the lock folder.
#include "link/uucp_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <utility>

namespace ql::link {
namespace {

// What a lock file holds, read without following a link and without blocking.
struct LockFile {
  bool exists = false;
  std::optional<pid_t> pid;  // nullopt: unreadable, or not a process ID
  dev_t device = 0;
  ino_t inode = 0;
};

// The process ID at the start of `text`: blanks, decimal digits, then a
// newline or the end. The ten-character form is the usual one; a number
// without the padding, with more lines after it, is read too (other lock
// writers put their name and host there).
std::optional<pid_t> ParsePid(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') {
    ++i;
  }
  long long value = 0;
  std::size_t digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
    value = value * 10 + (text[i] - '0');
    if (digits >= 10 || value > 0x7FFFFFFF) {
      return std::nullopt;
    }
  }
  if (digits == 0 || value <= 0 || (i < text.size() && text[i] != '\n')) {
    return std::nullopt;
  }
  return static_cast<pid_t>(value);
}

LockFile ReadLockFile(const std::string& path) {
  LockFile file;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // Anything but a missing file (a link, a file we may not read) counts as
    // present and unreadable.
    file.exists = errno != ENOENT;
    return file;
  }
  file.exists = true;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    file.device = info.st_dev;
    file.inode = info.st_ino;
    char buffer[64];
    ssize_t n = 0;
    do {
      n = ::read(fd, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
      file.pid = ParsePid(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
  }
  ::close(fd);
  return file;
}

// A process that exists, also one we may not signal, holds its lock.
bool Alive(pid_t pid) {
  return ::kill(pid, 0) == 0 || errno != ESRCH;
}

// True when the lock file names a live process or cannot be read: the port
// is then someone else's.
bool Held(const LockFile& file) {
  return file.exists && (!file.pid || Alive(*file.pid));
}

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::atomic<unsigned> temporaryCount{0};

}  // namespace

std::string UucpLockName(std::string_view devicePath) {
  constexpr std::string_view kDev = "/dev/";
  if (devicePath.empty() || devicePath.back() == '/') {
    return {};
  }
  std::string name;
  if (devicePath.starts_with(kDev)) {
    name = devicePath.substr(kDev.size());
    for (char& c : name) {
      if (c == '/') {
        c = '_';
      }
    }
  } else {
    const auto slash = devicePath.rfind('/');
    name = slash == std::string_view::npos ? devicePath : devicePath.substr(slash + 1);
  }
  return "LCK.." + name;
}

UucpLock::UucpLock(UucpLock&& other) noexcept : path_(std::exchange(other.path_, {})) {}

UucpLock& UucpLock::operator=(UucpLock&& other) noexcept {
  if (this != &other) {
    Release();
    path_ = std::exchange(other.path_, {});
  }
  return *this;
}

std::optional<UucpLock> UucpLock::Take(std::string_view folder, std::string_view name) {
  if (folder.empty() || name.empty()) {
    return UucpLock{};
  }
  const std::string path = std::string(folder) + "/" + std::string(name);
  const pid_t self = ::getpid();
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(self));

  // Without a file of our own, a lock already there still counts.
  auto withoutFile = [&path]() -> std::optional<UucpLock> {
    if (Held(ReadLockFile(path))) {
      return std::nullopt;
    }
    return UucpLock{};
  };

  // A few rounds: each lost race against another program taking or clearing
  // the same lock starts one again.
  for (int round = 0; round < 4; ++round) {
    // The whole text goes into a file of our own first; link() then puts it
    // in place only if no lock exists, so no reader ever sees it half written.
    const std::string temporary = std::string(folder) + "/LTMP." + std::to_string(self) + "." +
                                  std::to_string(temporaryCount++);
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
      return withoutFile();  // the folder is missing or not writable
    }
    ::fchmod(fd, 0644);  // readable by every program that checks it, whatever the umask
    const bool written = WriteAll(fd, text);
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
      ::unlink(temporary.c_str());
      return withoutFile();
    }
    const int linked = ::link(temporary.c_str(), path.c_str());
    const int linkError = errno;
    ::unlink(temporary.c_str());
    if (linked == 0) {
      return UucpLock(path);
    }
    if (linkError != EEXIST) {
      return withoutFile();  // a folder without hard links
    }

    const LockFile found = ReadLockFile(path);
    if (Held(found)) {
      return std::nullopt;
    }
    if (found.exists) {
      // Stale. Remove it only while it is still the file just read: another
      // program may have taken the lock over meanwhile.
      struct stat now {};
      if (::lstat(path.c_str(), &now) == 0 && now.st_dev == found.device &&
          now.st_ino == found.inode && ::unlink(path.c_str()) != 0 && errno != ENOENT) {
        // A stale lock we may not remove: its process is gone, so the port is
        // free, but it stays without a lock file of ours.
        return UucpLock{};
      }
    }
  }
  return std::nullopt;
}

void UucpLock::Release() {
  if (path_.empty()) {
    return;
  }
  // Only our own: a forked child that inherited this value, or a lock that
  // someone removed and took while we held the port, is left alone.
  const LockFile file = ReadLockFile(path_);
  if (file.pid == ::getpid()) {
    ::unlink(path_.c_str());
  }
  path_.clear();
}

}  // namespace ql::link
