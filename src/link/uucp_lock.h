// The lock file that Linux serial programs honour for a serial device: a file
// LCK..<name> in the lock folder (/var/lock) holding the owner's process ID
// as ten characters, right-aligned, and a newline.
//
// Programs that keep to this convention (terminal programs such as minicom,
// cu and picocom, other copies of this utility) look for the file before
// they open a port and leave the port alone while it names a live process.
// A file whose process has ended is stale and may be taken over.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ql::link {

inline constexpr std::string_view kLockFolder = "/var/lock";

// The lock file name of a device path, as those programs form it: the path
// below /dev/ with every '/' turned into '_' ("/dev/ttyUSB0" ->
// "LCK..ttyUSB0", "/dev/pts/3" -> "LCK..pts_3"); for a path outside /dev/,
// its last component. Empty when there is no name to lock (a path ending in
// '/'). The path should be the device's own, with symbolic links resolved,
// so that every name of the port gives the same lock.
std::string UucpLockName(std::string_view devicePath);

// A lock file taken by this process, removed when the value is destroyed or
// released. A value may also hold no file: the lock folder could not be
// written (it is missing, or the user may not write there, as ordinary users
// often may not), and the port is then used without one.
class UucpLock {
 public:
  UucpLock() = default;
  ~UucpLock() { Release(); }
  UucpLock(UucpLock&& other) noexcept;
  UucpLock& operator=(UucpLock&& other) noexcept;
  UucpLock(const UucpLock&) = delete;
  UucpLock& operator=(const UucpLock&) = delete;

  // Takes the lock `name` in `folder` for this process, written atomically
  // (a temporary file linked into place). A stale lock is removed and taken.
  // nullopt when the port must not be opened: the lock names a live process
  // (this one included), or holds something that is not a process ID (it
  // may be in the middle of being written). When the folder cannot be
  // written, the lock holds no file, but a live lock already there still
  // refuses the port.
  static std::optional<UucpLock> Take(std::string_view folder, std::string_view name);

  // The path of the lock file held; empty when none is.
  const std::string& Path() const { return path_; }

  // Removes the lock file, if it still names this process. Nothing more
  // happens on later calls.
  void Release();

 private:
  explicit UucpLock(std::string path) : path_(std::move(path)) {}

  std::string path_;
};

}  // namespace ql::link
