// Names that reach a device rather than a file on Windows.
#pragma once

#include <filesystem>

namespace ql::image {

// Whether the last part of `path` is one of the names Windows gives its
// devices in every folder (CON, PRN, AUX, NUL, COM0 to COM9, LPT0 to LPT9,
// also with an extension), or the path is in the device namespace (\\.\).
// Opening such a name opens the device, which for a serial port already
// changes its modem lines.
bool NamesAWindowsDevice(const std::filesystem::path& path);

}  // namespace ql::image
