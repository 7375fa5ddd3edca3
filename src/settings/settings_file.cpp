// The settings file on disk, through the POSIX calls that can tell a regular
// file from everything else before and after opening it.
#include "settings/settings_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QRandomGenerator>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>

namespace ql::settings {
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
  // Closes now, reporting whether everything written reached the file.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool IsAcceptable(const struct stat& status) {
  return S_ISREG(status.st_mode) && status.st_size <= kMaxSettingsFileBytes;
}

bool NameIsFree(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

std::string FolderOf(const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  return folder.empty() ? std::string(".") : folder;
}

bool WriteAll(int fd, const QByteArray& bytes) {
  qsizetype done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += n;
  }
  return true;
}

}  // namespace

SettingsFile ReadSettingsFile(const std::string& path) {
  SettingsFile file;
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    // A name that leads nowhere (a dangling link, a folder that cannot be
    // searched) is not the same as no file: it must not be written over.
    file.state = NameIsFree(path) ? SettingsFile::State::Absent : SettingsFile::State::Unusable;
    return file;
  }
  file.state = SettingsFile::State::Unusable;
  if (!IsAcceptable(status)) {
    return file;
  }
  // O_NONBLOCK: should a FIFO or a device have taken the file's place since
  // the look above, the open still returns at once, and the look at the
  // opened descriptor below refuses it.
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0 || !IsAcceptable(status)) {
    return file;
  }
  // Room for the size the file had, and one byte more to notice that it has
  // grown meanwhile; a file that grows goes on being read only up to one
  // byte past the limit.
  QByteArray bytes(static_cast<qsizetype>(status.st_size) + 1, Qt::Uninitialized);
  qsizetype got = 0;
  for (;;) {
    if (got == bytes.size()) {
      if (got > kMaxSettingsFileBytes) {
        break;
      }
      bytes.resize(std::min(2 * got, kMaxSettingsFileBytes + 1));
    }
    const ssize_t n = ::read(fd.get(), bytes.data() + got, static_cast<size_t>(bytes.size() - got));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return file;
    }
    if (n == 0) {
      break;
    }
    got += n;
  }
  if (got > kMaxSettingsFileBytes) {
    return file;
  }
  bytes.truncate(got);
  file.bytes = std::move(bytes);
  file.state = SettingsFile::State::Read;
  return file;
}

std::optional<std::string> SaveTarget(const std::string& path) {
  if (path.empty()) {
    return std::nullopt;
  }
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      return path;
    }
    return std::nullopt;
  }
  if (!S_ISLNK(status.st_mode)) {
    return path;
  }
  // Written through, the link stays and its target is replaced: only a
  // target of the user's own.
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr || ::stat(resolved, &status) != 0 ||
      status.st_uid != ::geteuid()) {
    return std::nullopt;
  }
  return std::string(resolved);
}

bool MayReplace(const std::string& target) {
  if (!NameIsFree(target) && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
    return false;
  }
  return ::faccessat(AT_FDCWD, FolderOf(target).c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

bool ReplaceFile(const std::string& target, const QByteArray& bytes) {
  struct stat old {};
  const bool exists = ::stat(target.c_str(), &old) == 0;
  if (exists && !S_ISREG(old.st_mode)) {
    return false;
  }

  // A name of its own beside the target, so the rename stays in one file
  // system; created new, so nothing else is opened by mistake.
  std::string temporary;
  int created = -1;
  for (int attempt = 0; attempt < 100 && created < 0; ++attempt) {
    temporary = target + "." + std::to_string(QRandomGenerator::global()->generate()) + ".new";
    created = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (created < 0 && errno != EEXIST) {
      return false;
    }
  }
  if (created < 0) {
    return false;
  }
  Descriptor fd(created);
  bool ok = true;
  if (exists) {
    // Root saving a user's file keeps it the user's. Anyone else cannot give
    // a file away: it becomes theirs, as with any editor that saves this way.
    const bool sameOwner = old.st_uid == ::geteuid() && old.st_gid == ::getegid();
    ok = (sameOwner || ::fchown(fd.get(), old.st_uid, old.st_gid) == 0 || ::geteuid() != 0) &&
         ::fchmod(fd.get(), old.st_mode & 07777) == 0;
  } else {
    // As the user's files are created (0666 less the umask), and always
    // readable and writable by the user, as QSettings makes them.
    struct stat fresh {};
    ok = ::fstat(fd.get(), &fresh) == 0 &&
         ::fchmod(fd.get(), (fresh.st_mode & 07777) | S_IRUSR | S_IWUSR) == 0;
  }
  ok = ok && WriteAll(fd.get(), bytes) && ::fsync(fd.get()) == 0;
  ok = fd.Close() && ok;
  ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  // The rename itself on disk too, where the folder lets itself be synced;
  // either way the save has happened.
  Descriptor folder(::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0) {
    ::fsync(folder.get());
  }
  return true;
}

}  // namespace ql::settings
