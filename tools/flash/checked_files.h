// The files named on the command line, checked before any device is touched:
// the firmware file, read once so that every device gets exactly the bytes
// checked, and no file named for two uses.
#pragma once

#include <memory>
#include <string>

#include "image/firmware_file.h"
#include "options.h"

namespace ql::flash {

// The firmware file as read at the start.
struct FirmwareFacts {
  // The file as read; nullptr when it could not be read.
  std::shared_ptr<const image::FirmwareFile> firmware;
  int blocks = 0;     // the blocks the device will receive
  std::string error;  // why the file cannot be used; empty when it can
  // What of the file the device will not receive; empty when it takes it all.
  std::string warning;
};

// Reads the firmware file at `path` once and counts its blocks by the
// loader's own rule. A file that cannot be read, or that holds nothing after
// its header, cannot be used: `error` says why.
FirmwareFacts ReadFirmwareOnce(const std::string& path);

// Why `path` cannot be opened for reading now, empty when it can (each
// platform's file_system file brings it).
std::string FileOpenError(const std::string& path);

// The usage error when one file is named for two uses (the firmware file,
// --trace, --read-flash), by name or through a link: the trace would empty
// the firmware file, or the flash read would replace the trace. Empty when
// every file is a different one.
std::string FileNamedTwice(const Options& options);

}  // namespace ql::flash
