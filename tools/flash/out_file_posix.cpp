// Writing OUT.QLB atomically with the POSIX calls: a temporary file in the
// same folder, fsync, then a rename that never replaces a file unless asked
// to.
#include "out_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "link/errno_text.h"

namespace ql::flash {
namespace {

std::string FolderOf(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? "." : parent.string();
}

// Puts the temporary file at `path` only when nothing of that name exists.
// Where the file system cannot rename that way, a hard link does the same.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    return errno;
  }
  if (::link(from.c_str(), to.c_str()) != 0) {
    return errno;
  }
  ::unlink(from.c_str());
  return 0;
}

// Why `--force` does not replace what is at `path`; empty when it may: nothing
// is there, a regular file, or a symbolic link (the link itself is replaced,
// never followed). A device node, a FIFO or a socket is no file of ours:
// renaming over it would take, say, a null device away from the whole system.
std::string ReplaceRefusal(const std::string& path) {
  struct stat found {};
  if (::lstat(path.c_str(), &found) != 0 || S_ISREG(found.st_mode) || S_ISLNK(found.st_mode)) {
    return {};
  }
  if (S_ISDIR(found.st_mode)) {
    return link::ErrnoText(EISDIR);
  }
  const char* kind = S_ISCHR(found.st_mode)    ? "a character device"
                     : S_ISBLK(found.st_mode)  ? "a block device"
                     : S_ISFIFO(found.st_mode) ? "a FIFO"
                     : S_ISSOCK(found.st_mode) ? "a socket"
                                               : "not a file";
  return std::string("it is ") + kind + "; --force replaces only a regular file or a symbolic link";
}

constexpr const char* kTemporarySuffix = ".tmp-XXXXXX";

// Removes what a run that was killed before it could clean up left beside
// `path`: temporary files of its name that no running program holds locked.
void RemoveLeftovers(const std::string& path) {
  namespace fs = std::filesystem;
  const std::string name = fs::path(path).filename().string();
  const std::string prefix = name + ".tmp-";
  const std::size_t length = name.size() + std::string_view(kTemporarySuffix).size();
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(FolderOf(path), error)) {
    const std::string found = entry.path().filename().string();
    if (found.size() != length || !found.starts_with(prefix) || !entry.is_regular_file(error) ||
        entry.is_symlink(error)) {
      continue;
    }
    const int fd = ::open(entry.path().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
      continue;
    }
    // Held by a run still reading its device: not a leftover.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      ::unlink(entry.path().c_str());
    }
    ::close(fd);
  }
}

}  // namespace

std::unique_ptr<OutputFile> OutputFile::Prepare(const std::string& path, bool replace,
                                                std::string& why) {
  struct stat found {};
  if (::lstat(path.c_str(), &found) == 0) {
    if (!replace) {
      why = link::ErrnoText(EEXIST) + " (--force replaces it)";
      return nullptr;
    }
    if (std::string refusal = ReplaceRefusal(path); !refusal.empty()) {
      why = std::move(refusal);
      return nullptr;
    }
  }
  RemoveLeftovers(path);
  std::string temporary = path + kTemporarySuffix;
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    why = link::ErrnoText(errno);
    return nullptr;
  }
  // Locked while this run lives, so that another run tells it from a
  // leftover; the lock goes with the process, however it ends.
  ::flock(fd, LOCK_EX | LOCK_NB);
  // As any new file would be: readable by others as the umask allows.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  return std::unique_ptr<OutputFile>(new OutputFile(path, std::move(temporary), fd, replace));
}

OutputFile::OutputFile(std::string path, std::string temporary, int fd, bool replace)
    : path_(std::move(path)), temporary_(std::move(temporary)), fd_(fd), replace_(replace) {}

OutputFile::~OutputFile() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
  if (!committed_) {
    ::unlink(temporary_.c_str());
  }
}

bool OutputFile::Commit(std::span<const std::uint8_t> bytes, std::string& why) {
  int error = 0;
  for (std::size_t done = 0; error == 0 && done < bytes.size();) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      error = errno;
    }
  }
  if (error == 0 && ::fsync(fd_) != 0) {
    error = errno;
  }
  if (::close(fd_) != 0 && error == 0) {
    error = errno;
  }
  fd_ = -1;
  if (error == 0 && replace_) {
    // Looked at again: what was a file when the run began may be a device
    // node now.
    if (std::string refusal = ReplaceRefusal(path_); !refusal.empty()) {
      why = std::move(refusal);
      return false;
    }
    error = ::rename(temporary_.c_str(), path_.c_str()) == 0 ? 0 : errno;
  } else if (error == 0) {
    error = RenameNoReplace(temporary_, path_);
  }
  if (error != 0) {
    why = link::ErrnoText(error);
    if (error == EEXIST) {
      why += " (--force replaces it)";
    }
    return false;
  }
  committed_ = true;
  // The new name itself reaches the disk with its folder.
  const int folder = ::open(FolderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return true;
}

}  // namespace ql::flash
