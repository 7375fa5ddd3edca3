// Files and descriptors through the C run-time's descriptors and the wide
// Win32 calls, so that every UTF-8 name reaches the file system as it is.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>

#include "checked_files.h"
#include "file_system.h"
#include "image/device_name_win32.h"
#include "image/utf8_path.h"
#include "link/errno_text.h"
#include "link/system_text_win32.h"

namespace ql::flash {
namespace {

unsigned ChunkOf(std::size_t size) {
  return static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX));
}

// The volume and file number of the file at `path`; false when it cannot
// be opened.
bool FileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION& information) {
  const HANDLE file = ::CreateFileW(image::Utf8Path(path).wstring().c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  const bool found = ::GetFileInformationByHandle(file, &information) != 0;
  ::CloseHandle(file);
  return found;
}

std::wstring Folded(const std::filesystem::path& path) {
  std::wstring text = path.wstring();
  std::replace(text.begin(), text.end(), L'/', L'\\');
  std::transform(text.begin(), text.end(), text.begin(),
                 [](wchar_t c) { return c < 128 ? static_cast<wchar_t>(std::towupper(c)) : c; });
  return text;
}

}  // namespace

long WriteSome(int fd, const void* data, std::size_t size, int& error) {
  const int n = ::_write(fd, data, ChunkOf(size));
  if (n < 0) {
    // The run-time's errno for a closed pipe is not always EPIPE; the
    // system's own code says what happened.
    const int mapped = link::ErrnoOfSystemError(_doserrno);
    error = mapped != 0 ? mapped : errno;
    return -1;
  }
  return n;
}

long ReadSome(int fd, void* into, std::size_t size, int& error) {
  const int n = ::_read(fd, into, ChunkOf(size));
  if (n < 0) {
    error = errno;
    return -1;
  }
  return n;
}

int SyncFile(int fd) {
  return ::_commit(fd) == 0 ? 0 : errno;
}

void CloseFile(int fd) {
  ::_close(fd);
}

int OpenAppendFile(const std::string& path, int& error) {
  const std::filesystem::path name = image::Utf8Path(path);
  if (path.empty()) {
    error = ENOENT;
    return -1;
  }
  if (image::NamesAWindowsDevice(name)) {
    error = 0;
    return -1;
  }
  int fd = -1;
  if (const errno_t failed = ::_wsopen_s(&fd, name.wstring().c_str(),
                                         _O_RDWR | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                                         _SH_DENYNO, _S_IREAD | _S_IWRITE);
      failed != 0) {
    error = failed;
    return -1;
  }
  if (::GetFileType(reinterpret_cast<HANDLE>(::_get_osfhandle(fd))) != FILE_TYPE_DISK) {
    error = 0;
    ::_close(fd);
    return -1;
  }
  if (::_lseeki64(fd, 0, SEEK_SET) != 0) {
    error = errno;
    ::_close(fd);
    return -1;
  }
  return fd;
}

int OpenReadFile(const std::string& path, int& error) {
  const std::filesystem::path name = image::Utf8Path(path);
  if (path.empty()) {
    error = ENOENT;
    return -1;
  }
  if (image::NamesAWindowsDevice(name)) {
    error = 0;
    return -1;
  }
  int fd = -1;
  if (const errno_t failed = ::_wsopen_s(&fd, name.wstring().c_str(),
                                         _O_RDONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, 0);
      failed != 0) {
    error = failed;
    return -1;
  }
  if (::GetFileType(reinterpret_cast<HANDLE>(::_get_osfhandle(fd))) != FILE_TYPE_DISK) {
    error = 0;
    ::_close(fd);
    return -1;
  }
  return fd;
}

std::FILE* OpenStreamForWriting(const std::string& path, int& error) {
  int fd = -1;
  if (const errno_t failed = ::_wsopen_s(&fd, image::Utf8Path(path).wstring().c_str(),
                                         _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                                         _SH_DENYNO, _S_IREAD | _S_IWRITE);
      failed != 0) {
    error = failed;
    return nullptr;
  }
  std::FILE* file = ::_fdopen(fd, "wb");
  if (file == nullptr) {
    error = errno;
    ::_close(fd);
  }
  return file;
}

bool SameFile(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION first{};
  BY_HANDLE_FILE_INFORMATION second{};
  const bool firstFound = FileIdentity(a, first);
  const bool secondFound = FileIdentity(b, second);
  if (firstFound && secondFound) {
    return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
  }
  if (firstFound != secondFound) {
    return false;
  }
  // Neither exists yet: the same place, letter case aside.
  std::error_code firstError;
  std::error_code secondError;
  const auto firstPlace = std::filesystem::weakly_canonical(image::Utf8Path(a), firstError);
  const auto secondPlace = std::filesystem::weakly_canonical(image::Utf8Path(b), secondError);
  return !firstError && !secondError && Folded(firstPlace) == Folded(secondPlace);
}

std::string FileOpenError(const std::string& path) {
  const std::filesystem::path name = image::Utf8Path(path);
  if (image::NamesAWindowsDevice(name)) {
    return "not a regular file";
  }
  const DWORD attributes = ::GetFileAttributesW(name.wstring().c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return link::ErrnoText(EISDIR);
  }
  const HANDLE file = ::CreateFileW(name.wstring().c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return link::SystemErrorText(::GetLastError());
  }
  const bool disk = ::GetFileType(file) == FILE_TYPE_DISK;
  ::CloseHandle(file);
  return disk ? std::string() : "not a regular file";
}

}  // namespace ql::flash
