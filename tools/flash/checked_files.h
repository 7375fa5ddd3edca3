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
  int blocks = 0;  // the blocks the device will receive
  // The SHA-256 of the whole file, as sha256sum prints it: the name of the
  // firmware in the station log. Empty while the file cannot be used.
  std::string sha256;
  std::string error;  // why the file cannot be used; empty when it can
  // What of the file the device will not receive; empty when it takes it all.
  std::string warning;
};

// Reads the firmware file at `path` once and counts its blocks by the
// loader's own rule, then reads it whole for its SHA-256 and makes sure it
// still holds the bytes read. A file that cannot be read, that holds nothing
// after its header, or that changed in between, cannot be used: `error`
// says why.
FirmwareFacts ReadFirmwareOnce(const std::string& path);

// Why `path` cannot be opened for reading now, empty when it can (each
// platform's file_system file brings it).
std::string FileOpenError(const std::string& path);

// The usage error when one file is named for two uses (the firmware file,
// --trace, --read-flash, --log), by name or through a link: the trace would
// empty the firmware file, the flash read would replace the trace, the log
// would grow on the end of the firmware. Empty when every file is a
// different one.
std::string FileNamedTwice(const Options& options);

}  // namespace ql::flash
