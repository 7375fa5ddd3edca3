// Checking the files of the command line before any device is touched.
#include "checked_files.h"

#include <vector>

#include "file_system.h"
#include "image/utf8_path.h"
#include "link/errno_text.h"

namespace ql::flash {
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
  constexpr std::int64_t kDeviceBytes = std::int64_t{image::kMaxBlockCount} * image::kBlockSize;
  if (const std::int64_t imageBytes = firmware->length - image::kHeaderSize;
      imageBytes > kDeviceBytes) {
    facts.warning = "the file holds " + std::to_string(imageBytes) + " image bytes, the device " +
                    std::to_string(image::kMaxBlockCount) + " blocks (" +
                    std::to_string(kDeviceBytes) + " bytes): the last " +
                    std::to_string(imageBytes - kDeviceBytes) + " bytes are not written";
  }
  facts.firmware = std::move(firmware);
  facts.blocks = count;
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
