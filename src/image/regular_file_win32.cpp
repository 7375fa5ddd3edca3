// Reading the first bytes of a disk file through the wide Win32 calls. Only
// a disk file is read: a device name (NUL, CON, COM1, ...), a pipe or a
// folder is a file that cannot be opened, and device names are refused
// before any open, since opening a serial port already changes its modem
// lines. Lengths are 64 bits wide.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string>

#include "image/device_name_win32.h"
#include "image/regular_file.h"

namespace ql::image {
namespace {

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE) {
      ::CloseHandle(handle_);
    }
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

// The errno of the same meaning, for the program's texts.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EBUSY;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      return EIO;
  }
}

// Opens `path` for reading when it is a disk file; an invalid handle
// otherwise, with `error` set to the errno of the reason where there is one.
HANDLE OpenDiskFile(const std::filesystem::path& path, int& error) {
  if (path.empty()) {
    error = ENOENT;
    return INVALID_HANDLE_VALUE;
  }
  if (NamesAWindowsDevice(path)) {
    error = 0;
    return INVALID_HANDLE_VALUE;
  }
  const std::wstring name = path.wstring();
  const DWORD attributes = ::GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    error = ErrnoOf(::GetLastError());
    return INVALID_HANDLE_VALUE;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    error = EISDIR;
    return INVALID_HANDLE_VALUE;
  }
  // Others may go on reading and writing it; a change shows below.
  const HANDLE file = ::CreateFileW(name.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = ErrnoOf(::GetLastError());
    return INVALID_HANDLE_VALUE;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    error = 0;
    ::CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

struct Stamp {
  std::int64_t length = 0;
  FILETIME written{};
};

bool StampOf(HANDLE file, Stamp& stamp) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(file, &information)) {
    return false;
  }
  stamp.length = static_cast<std::int64_t>((std::uint64_t{information.nFileSizeHigh} << 32) |
                                           information.nFileSizeLow);
  stamp.written = information.ftLastWriteTime;
  return true;
}

bool SameStamp(const Stamp& a, const Stamp& b) {
  return a.length == b.length && a.written.dwLowDateTime == b.written.dwLowDateTime &&
         a.written.dwHighDateTime == b.written.dwHighDateTime;
}

// Reads up to `size` bytes into `into`; the count read (fewer only at the
// end of the file), or -1 with `error` set.
std::int64_t ReadUpTo(HANDLE file, std::uint8_t* into, std::size_t size, int& error) {
  std::size_t done = 0;
  while (done < size) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 1 << 20));
    DWORD got = 0;
    if (!::ReadFile(file, into + done, chunk, &got, nullptr)) {
      error = ErrnoOf(::GetLastError());
      return -1;
    }
    if (got == 0) {
      break;
    }
    done += got;
  }
  return static_cast<std::int64_t>(done);
}

}  // namespace

bool NamesAWindowsDevice(const std::filesystem::path& path) {
  const std::wstring whole = path.wstring();
  if (whole.starts_with(L"\\\\.\\") || whole.starts_with(L"//./")) {
    return true;
  }
  std::wstring name = path.filename().wstring();
  name = name.substr(0, name.find(L'.'));
  while (!name.empty() && (name.back() == L' ' || name.back() == L':')) {
    name.pop_back();
  }
  std::transform(name.begin(), name.end(), name.begin(),
                 [](wchar_t c) { return c < 128 ? static_cast<wchar_t>(std::toupper(c)) : c; });
  if (name == L"CON" || name == L"PRN" || name == L"AUX" || name == L"NUL" || name == L"CONIN$" ||
      name == L"CONOUT$") {
    return true;
  }
  return name.size() == 4 && (name.starts_with(L"COM") || name.starts_with(L"LPT")) &&
         name[3] >= L'0' && name[3] <= L'9';
}

RegularFileRead ReadRegularFile(const std::filesystem::path& path, std::size_t limit) {
  RegularFileRead read;
  const Handle file(OpenDiskFile(path, read.error));
  if (!file) {
    read.end = RegularFileEnd::NotOpened;
    return read;
  }
  Stamp before;
  if (!StampOf(file.get(), before)) {
    read.end = RegularFileEnd::ReadError;
    read.error = ErrnoOf(::GetLastError());
    return read;
  }
  read.length = before.length;
  const auto wanted = static_cast<std::size_t>(
      std::min<std::int64_t>(read.length, static_cast<std::int64_t>(limit)));
  read.bytes.resize(wanted);
  const std::int64_t got = ReadUpTo(file.get(), read.bytes.data(), read.bytes.size(), read.error);
  if (got < 0) {
    read.end = RegularFileEnd::ReadError;
    read.bytes.clear();
    return read;
  }
  read.bytes.resize(static_cast<std::size_t>(got));
  Stamp after;
  read.end = static_cast<std::size_t>(got) == wanted && StampOf(file.get(), after) &&
                     SameStamp(before, after)
                 ? RegularFileEnd::Read
                 : RegularFileEnd::Changed;
  return read;
}

}  // namespace ql::image
