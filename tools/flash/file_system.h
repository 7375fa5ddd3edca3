// Files and descriptors as ql480tx-flash uses them, one implementation per
// platform (file_system_posix.cpp, file_system_win32.cpp). Names are UTF-8;
// descriptors are the system's on Linux and the C run-time's on Windows.
// Failures give errno values, whose texts link::ErrnoText says.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace ql::flash {

// Writes up to `size` bytes of `data` to `fd` (interrupted writes are tried
// again): the count written, or -1 with `error` set.
long WriteSome(int fd, const void* data, std::size_t size, int& error);

// Reads up to `size` bytes: the count read, 0 at the end, or -1 with `error`.
long ReadSome(int fd, void* into, std::size_t size, int& error);

// Flushes what was written to `fd` to the disk: 0, or the error.
int SyncFile(int fd);

void CloseFile(int fd);

// Opens `path` for reading from its start and for appending, creating it
// (readable by others as a new file would be) when absent. Only a regular
// file is opened, and the open never waits (a FIFO could block it for ever).
// -1 when it cannot be: `error` holds the reason, 0 for "not a regular file".
int OpenAppendFile(const std::string& path, int& error);

// Opens `path` for reading. Only a regular file is opened, and the open
// never waits; -1 when it cannot be: `error` holds the reason, 0 for "not a
// regular file".
int OpenReadFile(const std::string& path, int& error);

// Opens `path` for writing, emptied or created, as a stdio stream that a
// program started by this one does not inherit. nullptr with `error` set.
std::FILE* OpenStreamForWriting(const std::string& path, int& error);

// Whether `a` and `b` name the same file: the same file of the same volume
// when both exist (so also through symbolic and hard links), else the same
// place.
bool SameFile(const std::string& a, const std::string& b);

}  // namespace ql::flash
