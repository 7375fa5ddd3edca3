// Checking the files of the command line before any device is touched.
#include "checked_files.h"

#include <algorithm>
#include <array>
#include <vector>

#include "file_system.h"
#include "image/utf8_path.h"
#include "link/errno_text.h"
#include "sha256.h"
#include "upgrade/failure_reason.h"

namespace ql::flash {
namespace {

// The SHA-256 of the whole file at `path`, read anew and checked against
// `firmware`, the same file as read before: the same length, header text and
// image bytes. Empty, with `why`, when it cannot be read or holds other bytes
// now: the digest would name a file the devices never receive.
std::string WholeFileDigest(const std::string& path, const image::FirmwareFile& firmware,
                            std::string& why) {
  int error = 0;
  const int fd = OpenReadFile(path, error);
  if (fd < 0) {
    why = error != 0 ? link::ErrnoText(error) : "it changed while it was read";
    return {};
  }
  Sha256Stream digest;
  std::string header;
  bool same = true;
  std::int64_t at = 0;  // bytes read so far
  std::array<std::uint8_t, 65536> buffer{};
  for (;;) {
    const long n = ReadSome(fd, buffer.data(), buffer.size(), error);
    if (n < 0) {
      why = link::ErrnoText(error);
      CloseFile(fd);
      return {};
    }
    if (n == 0) {
      break;
    }
    for (long i = 0; i < n; ++i, ++at) {
      const std::uint8_t b = buffer[static_cast<std::size_t>(i)];
      if (at < image::kHeaderSize) {
        header += static_cast<char>(b);
      } else if (const auto k = static_cast<std::size_t>(at - image::kHeaderSize);
                 k < firmware.image.size()) {
        same = same && firmware.image[k] == b;
      }
    }
    digest.Add(std::span(buffer.data(), static_cast<std::size_t>(n)));
  }
  CloseFile(fd);
  // The header text is the header cut at its first NUL.
  header.resize(std::min(header.size(), header.find('\0')));
  if (!same || at != firmware.length || header != firmware.headerText) {
    why = "it changed while it was read";
    return {};
  }
  return HexDigest(digest.Finish());
}

}  // namespace

FirmwareFacts ReadFirmwareOnce(const std::string& path) {
  FirmwareFacts facts;
  image::FirmwareRead read = image::ReadFirmwareFile(image::Utf8Path(path));
  switch (read.failure) {
    case image::ReadFailure::None:
      break;
    case image::ReadFailure::NotOpened:
      facts.error = FileOpenError(path);
      if (facts.error.empty()) {
        facts.error = "cannot be opened";
      }
      return facts;
    case image::ReadFailure::ReadError:
      facts.error = link::ErrnoText(read.error);
      return facts;
    case image::ReadFailure::ChangedMeanwhile:
      facts.error = "it changed while it was read";
      return facts;
  }
  auto firmware = std::make_shared<const image::FirmwareFile>(std::move(read.file));
  // The block count the device will receive, by the loader's own rule and
  // from the very bytes it will load.
  auto table = std::make_unique<image::BlockTable>();
  std::int32_t count = 0;
  if (image::LoadFirmwareImage(*firmware, image::kDeviceFamily, *table, count) !=
      image::LoadResult::Loaded) {
    facts.error = "no image after its 16-byte header";
  }
  // The device takes 124 blocks; what lies beyond them is never written.
  facts.warning = upgrade::UnwrittenImageWarning(firmware->length - image::kHeaderSize);
  facts.blocks = count;
  if (facts.error.empty()) {
    facts.sha256 = WholeFileDigest(path, *firmware, facts.error);
  }
  facts.firmware = std::move(firmware);
  return facts;
}

std::string FileNamedTwice(const Options& options) {
  struct Named {
    const char* use;
    const std::string& path;
  };
  std::vector<Named> files;
  if (!options.firmwarePath.empty()) {
    files.push_back({"the firmware file", options.firmwarePath});
  }
  if (!options.tracePath.empty()) {
    files.push_back({"--trace", options.tracePath});
  }
  if (!options.readFlashPath.empty()) {
    files.push_back({"--read-flash", options.readFlashPath});
  }
  if (!options.logPath.empty()) {
    files.push_back({"--log", options.logPath});
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    for (std::size_t j = i + 1; j < files.size(); ++j) {
      if (SameFile(files[i].path, files[j].path)) {
        return std::string(files[i].use) + " and " + files[j].use +
               " name the same file: " + files[i].path +
               (files[i].path == files[j].path ? "" : " and " + files[j].path);
      }
    }
  }
  return {};
}

}  // namespace ql::flash
