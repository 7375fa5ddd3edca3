// What a firmware file may be on Windows: a disk file, named in any script;
// a device name reaches a device, which is never opened.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "image/device_name_win32.h"
#include "image/firmware_file.h"
#include "image/utf8_path.h"

namespace ql::image {
namespace {

namespace fs = std::filesystem;

class WindowsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device seed;
    dir_ = fs::temp_directory_path() / ("ql-image-" + std::to_string(seed()));
    ASSERT_TRUE(fs::create_directory(dir_));
  }
  void TearDown() override {
    std::error_code error;
    fs::remove_all(dir_, error);
  }

  fs::path dir_;
};

TEST_F(WindowsFileTest, AFileNamedInAnyScriptIsReadUnderThatName) {
  // "固件-é.QLB": a name the ANSI code page cannot hold.
  const std::string name = "\xE5\x9B\xBA\xE4\xBB\xB6-\xC3\xA9.QLB";
  const fs::path path = dir_ / Utf8Path(name);
  EXPECT_EQ(PathUtf8(path.filename()), name);
  EXPECT_EQ(path.filename().wstring(), L"\u56FA\u4EF6-\u00E9.QLB");
  {
    std::ofstream out(path, std::ios::binary);
    out << "QL480TX-V5 1.02" << '\0' << std::string(600, 'x');
  }
  const FirmwareRead read = ReadFirmwareFile(Utf8Path(PathUtf8(path)));
  ASSERT_TRUE(read.Ok());
  EXPECT_EQ(read.file.headerText, "QL480TX-V5 1.02");
  EXPECT_EQ(read.file.length, 616);
}

TEST_F(WindowsFileTest, DeviceNamesAreNeverOpened) {
  for (const char* name : {"NUL", "nul", "CON", "COM1", "com7", "LPT1", "AUX", "PRN", "NUL.QLB",
                           "com1.qlb", "\\\\.\\COM1", "//./COM1"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(NamesAWindowsDevice(Utf8Path(name)));
    const FirmwareRead read = ReadFirmwareFile(Utf8Path(name));
    EXPECT_EQ(read.failure, ReadFailure::NotOpened);
    EXPECT_EQ(ReadHeaderText(Utf8Path(name)), std::nullopt);
  }
  for (const char* name : {"COM10.QLB", "console.QLB", "nullable", "COMX", "firmware.QLB"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(NamesAWindowsDevice(Utf8Path(name)));
  }
}

TEST_F(WindowsFileTest, MissingFilesAndFoldersSayWhy) {
  const FirmwareRead missing = ReadFirmwareFile(dir_ / "missing.QLB");
  EXPECT_EQ(missing.failure, ReadFailure::NotOpened);
  EXPECT_EQ(missing.error, ENOENT);
  const FirmwareRead noFolder = ReadFirmwareFile(dir_ / "no-folder" / "x.QLB");
  EXPECT_EQ(noFolder.error, ENOENT);
  const FirmwareRead folder = ReadFirmwareFile(dir_);
  EXPECT_EQ(folder.failure, ReadFailure::NotOpened);
  EXPECT_EQ(folder.error, EISDIR);
}

}  // namespace
}  // namespace ql::image
