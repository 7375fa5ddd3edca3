// Flash image files.
#include "sim/flash_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "link/errno_text.h"
#include "sim/sim_config.h"

namespace ql::sim {
namespace {

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + link::ErrnoText(errno);
}

}  // namespace

FlashImage LoadFlashFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return {.bytes = {}, .error = SystemError("cannot open", path)};
  }
  FlashImage image;
  // One byte more than fits tells an oversized file apart without reading it all.
  image.bytes.resize(kFlashSize + 1);
  in.read(reinterpret_cast<char*>(image.bytes.data()),
          static_cast<std::streamsize>(image.bytes.size()));
  if (in.bad()) {
    return {.bytes = {}, .error = SystemError("cannot read", path)};
  }
  image.bytes.resize(static_cast<std::size_t>(in.gcount()));
  if (image.bytes.size() > kFlashSize) {
    return {.bytes = {},
            .error = path + " is larger than the flash (" + std::to_string(kFlashSize) + " bytes)"};
  }
  return image;
}

std::string SaveFlashFile(const std::string& path, std::span<const std::uint8_t> flash) {
  const std::string temporary = path + ".tmp." + std::to_string(::getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    return SystemError("cannot create", temporary);
  }
  std::size_t written = 0;
  while (written < flash.size()) {
    const ssize_t n = ::write(fd, flash.data() + written, flash.size() - written);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      const std::string error = SystemError("cannot write", temporary);
      ::close(fd);
      ::unlink(temporary.c_str());
      return error;
    }
    written += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) {
    const std::string error = SystemError("cannot write", temporary);
    ::unlink(temporary.c_str());
    return error;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string error = SystemError("cannot replace", path);
    ::unlink(temporary.c_str());
    return error;
  }
  return {};
}

}  // namespace ql::sim
