// Writing OUT.QLB atomically with the wide Win32 calls: a temporary file in
// the same folder, flushed to the disk, then moved to its name in one step
// that, unless asked to, never replaces a file that is there (also one made
// meanwhile): the move itself refuses.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <filesystem>
#include <random>

#include "image/device_name_win32.h"
#include "image/utf8_path.h"
#include "link/errno_text.h"
#include "link/system_text_win32.h"
#include "out_file.h"

namespace ql::flash {
namespace {

std::wstring Wide(const std::string& path) {
  return image::Utf8Path(path).wstring();
}

// Why `--force` does not replace what is at `path`; empty when it may:
// nothing is there, a file, or a symbolic link to one (the link itself is
// replaced, never followed). A device name is no file of ours, and a folder
// cannot be replaced by a file.
std::string ReplaceRefusal(const std::string& path) {
  if (image::NamesAWindowsDevice(image::Utf8Path(path))) {
    return "it is a device; --force replaces only a regular file or a symbolic link";
  }
  const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return {};
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return link::ErrnoText(EISDIR);
  }
  return {};
}

bool Exists(const std::string& path) {
  return image::NamesAWindowsDevice(image::Utf8Path(path)) ||
         ::GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string TemporaryName(const std::string& path) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937 random{std::random_device{}()};
  std::string name = path + ".tmp-";
  for (int i = 0; i < 6; ++i) {
    name += kLetters[random() % (sizeof kLetters - 1)];
  }
  return name;
}

// Removes what a run that was killed before it could clean up left beside
// `path`: temporary files of its name. A running run holds its own open
// without letting others delete it, so the deletion fails there.
void RemoveLeftovers(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path target = image::Utf8Path(path);
  const std::string prefix = image::PathUtf8(target.filename()) + ".tmp-";
  const std::size_t length = prefix.size() + 6;
  const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string found = image::PathUtf8(entry.path().filename());
    if (found.size() != length || !found.starts_with(prefix) || !entry.is_regular_file(error)) {
      continue;
    }
    ::DeleteFileW(entry.path().wstring().c_str());
  }
}

}  // namespace

std::unique_ptr<OutputFile> OutputFile::Prepare(const std::string& path, bool replace,
                                                std::string& why) {
  if (Exists(path)) {
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
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temporary = TemporaryName(path);
    int fd = -1;
    const errno_t failed = ::_wsopen_s(&fd, Wide(temporary).c_str(),
                                       _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                                       _SH_DENYNO, _S_IREAD | _S_IWRITE);
    if (failed == 0) {
      return std::unique_ptr<OutputFile>(new OutputFile(path, std::move(temporary), fd, replace));
    }
    if (failed != EEXIST) {
      why = link::ErrnoText(failed);
      return nullptr;
    }
  }
  why = link::ErrnoText(EEXIST);
  return nullptr;
}

OutputFile::OutputFile(std::string path, std::string temporary, int fd, bool replace)
    : path_(std::move(path)), temporary_(std::move(temporary)), fd_(fd), replace_(replace) {}

OutputFile::~OutputFile() {
  if (fd_ >= 0) {
    ::_close(fd_);
  }
  if (!committed_) {
    ::DeleteFileW(Wide(temporary_).c_str());
  }
}

bool OutputFile::Commit(std::span<const std::uint8_t> bytes, std::string& why) {
  int error = 0;
  for (std::size_t done = 0; error == 0 && done < bytes.size();) {
    const std::size_t chunk = std::min<std::size_t>(bytes.size() - done, 1 << 20);
    const int n = ::_write(fd_, bytes.data() + done, static_cast<unsigned>(chunk));
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else {
      error = n < 0 ? errno : EIO;
    }
  }
  if (error == 0 && ::_commit(fd_) != 0) {
    error = errno;
  }
  if (::_close(fd_) != 0 && error == 0) {
    error = errno;
  }
  fd_ = -1;
  if (error != 0) {
    why = link::ErrnoText(error);
    return false;
  }
  DWORD flags = MOVEFILE_WRITE_THROUGH;
  if (replace_) {
    // Looked at again: what was a file when the run began may be a folder now.
    if (std::string refusal = ReplaceRefusal(path_); !refusal.empty()) {
      why = std::move(refusal);
      return false;
    }
    flags |= MOVEFILE_REPLACE_EXISTING;
  }
  if (!::MoveFileExW(Wide(temporary_).c_str(), Wide(path_).c_str(), flags)) {
    const DWORD failed = ::GetLastError();
    why = link::SystemErrorText(failed);
    if (link::ErrnoOfSystemError(failed) == EEXIST) {
      why += " (--force replaces it)";
    }
    return false;
  }
  committed_ = true;
  return true;
}

}  // namespace ql::flash
