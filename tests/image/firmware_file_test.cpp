// Loading firmware files into the block table: the block count and the exact
// bytes for files of every telling size, and the header text.
#include "image/firmware_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace ql::image {
namespace {

namespace fs = std::filesystem;

constexpr int kImageLimit = kMaxFileRows * kBlockSize;  // 64,512 bytes

// File byte i: never 0xFF, so a stored file byte is told apart from the fill.
std::uint8_t Pattern(std::size_t i) {
  return static_cast<std::uint8_t>(i % 251);
}

class FirmwareFileTest : public ::testing::Test {
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

  fs::path WriteFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const fs::path path = dir_ / name;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  fs::path PatternFile(std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
      bytes[i] = Pattern(i);
    }
    return WriteFile("image" + std::to_string(length) + ".QLB", bytes);
  }

  fs::path dir_;
};

// The whole table after loading a pattern file of `length` bytes: the file's
// bytes from offset 16 on, then copies of its last byte (0xFF when it has no
// image byte) up to length - 10 bytes in all, cut at 64,512 bytes. Everything
// else in the first 1024 bytes of every row is 0xFF; the last 6 bytes of a row
// stay 0.
void ExpectTableHoldsImageOf(const BlockTable& table, std::size_t length) {
  const std::size_t imageBytes = length > 16 ? length - 16 : 0;
  const std::size_t filled = length > 10 ? std::min<std::size_t>(length - 10, kImageLimit) : 0;
  const std::uint8_t repeated = imageBytes > 0 ? Pattern(length - 1) : 0xFF;
  int mismatches = 0;
  for (int row = 0; row < kTableRows && mismatches < 5; ++row) {
    const auto bytes = table.Row(row);
    for (std::size_t column = 0; column < kRowSize; ++column) {
      const std::size_t at = static_cast<std::size_t>(row) * kBlockSize + column;
      std::uint8_t expected = 0xFF;
      if (column >= kFilledRowBytes) {
        expected = 0;
      } else if (column < kBlockSize && at < filled) {
        expected = at < imageBytes ? Pattern(16 + at) : repeated;
      }
      if (bytes[column] != expected && ++mismatches <= 5) {
        ADD_FAILURE() << "row " << row << " byte " << column << ": " << int{bytes[column]}
                      << " expected " << int{expected};
      }
    }
  }
}

TEST_F(FirmwareFileTest, BlockCountAndBytesForEverySize) {
  struct Case {
    std::size_t length;
    std::int32_t blocks;
  };
  const Case cases[] = {
      {1 << 20, 124},  // first, so that every later load must clear what it left
      {17, 1},         // byte 16 and 6 copies of it
      {16 + 512 * 1, 2},
      {16 + 512 * 2, 3},
      {16 + 512 * 123, 124},
      {10 + 512 * 1, 1},
      {10 + 512 * 2, 2},
      {10 + 512 * 124, 124},
      {16 + 124 * 512, 124},      // 63,504: the 6 copies land in uncounted row 124
      {16 + 123 * 512 + 1, 124},  // 62,993
      {16 + 126 * 512, 124},
  };
  BlockTable table;
  for (const Case& c : cases) {
    SCOPED_TRACE("file of " + std::to_string(c.length) + " bytes");
    std::int32_t count = -1;
    ASSERT_EQ(LoadFirmwareImage(PatternFile(c.length), kDeviceFamily, table, count),
              LoadResult::Loaded);
    EXPECT_EQ(count, c.blocks);
    ExpectTableHoldsImageOf(table, c.length);
  }
}

// The cases the device most depends on, byte by byte.
TEST_F(FirmwareFileTest, LastBlockOfShortAndLongFiles) {
  BlockTable table;
  std::int32_t count = 0;

  LoadFirmwareImage(PatternFile(17), kDeviceFamily, table, count);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(table.Block(0)[i], Pattern(16)) << i;
  }
  EXPECT_EQ(table.Block(0)[7], 0xFF);
  EXPECT_EQ(table.Block(0)[511], 0xFF);

  LoadFirmwareImage(PatternFile(62993), kDeviceFamily, table, count);
  ASSERT_EQ(count, 124);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(table.Block(123)[i], Pattern(62992)) << i;
  }
  EXPECT_EQ(table.Block(123)[7], 0xFF);

  LoadFirmwareImage(PatternFile(10 + 512 * 3), kDeviceFamily, table, count);
  ASSERT_EQ(count, 3);
  EXPECT_EQ(table.Block(2)[505], Pattern(10 + 512 * 3 - 1));
  EXPECT_EQ(table.Block(2)[511], Pattern(10 + 512 * 3 - 1));
  EXPECT_EQ(table.Block(3)[0], 0xFF);

  // A 1 MB file fills rows 124 and 125 from the file and nothing after.
  LoadFirmwareImage(PatternFile(1 << 20), kDeviceFamily, table, count);
  ASSERT_EQ(count, 124);
  EXPECT_EQ(table.Row(125)[511], Pattern(16 + kImageLimit - 1));
  EXPECT_EQ(table.Row(125)[512], 0xFF);
  EXPECT_EQ(table.Row(126)[0], 0xFF);
}

// A file with nothing after its header would give a device a blank block or
// no block at all: it is never loaded, and a count left from an earlier load
// is not left either.
TEST_F(FirmwareFileTest, FilesWithNoImageAfterTheHeaderAreNotLoaded) {
  BlockTable table;
  for (const std::size_t length : {0, 5, 10, 11, 16}) {
    SCOPED_TRACE("file of " + std::to_string(length) + " bytes");
    std::int32_t count = 0;
    ASSERT_EQ(LoadFirmwareImage(PatternFile(4000), kDeviceFamily, table, count),
              LoadResult::Loaded);
    count = 42;
    EXPECT_EQ(LoadFirmwareImage(PatternFile(length), kDeviceFamily, table, count),
              LoadResult::NoImage);
    EXPECT_EQ(count, 0);
    ExpectTableHoldsImageOf(table, 0);
  }
}

// The file is read once, up to what a load can use; the load takes those
// bytes, whatever the file holds by then.
TEST_F(FirmwareFileTest, ALoadFromTheBytesReadIgnoresLaterChangesToTheFile) {
  const fs::path path = PatternFile(1 << 20);
  const FirmwareRead read = ReadFirmwareFile(path);
  ASSERT_TRUE(read.Ok());
  EXPECT_EQ(read.file.length, 1 << 20);
  EXPECT_EQ(read.file.image.size(), static_cast<std::size_t>(kImageLimit));

  WriteFile("image" + std::to_string(1 << 20) + ".QLB", std::vector<std::uint8_t>(30, 0x11));
  BlockTable table;
  std::int32_t count = 0;
  ASSERT_EQ(LoadFirmwareImage(read.file, kDeviceFamily, table, count), LoadResult::Loaded);
  EXPECT_EQ(count, 124);
  ExpectTableHoldsImageOf(table, 1 << 20);

  const FirmwareRead missing = ReadFirmwareFile(dir_ / "missing.QLB");
  EXPECT_EQ(missing.failure, ReadFailure::NotOpened);
  EXPECT_EQ(missing.error, ENOENT);
}

// A length past 4 GB must not wrap to a small count; only 64,512 bytes are read.
TEST_F(FirmwareFileTest, HugeSparseFileLoads124Blocks) {
  const fs::path path = WriteFile("huge.QLB", std::vector<std::uint8_t>(16, 'H'));
  std::error_code error;
  fs::resize_file(path, (std::uintmax_t{1} << 32) + 20, error);
  if (error) {
    GTEST_SKIP() << "no sparse file here: " << error.message();
  }
  BlockTable table;
  std::int32_t count = 0;
  EXPECT_EQ(LoadFirmwareImage(path, kDeviceFamily, table, count), LoadResult::Loaded);
  EXPECT_EQ(count, 124);
  EXPECT_EQ(table.Row(125)[511], 0);
  EXPECT_EQ(table.Row(126)[0], 0xFF);
}

// A load that cannot open the file resets the table and leaves the count;
// so does one whose device family is not ours, after opening the file.
TEST_F(FirmwareFileTest, FailedLoadsResetTableAndKeepCount) {
  struct Case {
    const char* what;
    fs::path path;
    std::string family;
    LoadResult result;
  };
  const fs::path good = PatternFile(4000);
  const Case cases[] = {
      {"missing file", dir_ / "missing.QLB", std::string(kDeviceFamily), LoadResult::OpenFailed},
      {"folder", dir_, std::string(kDeviceFamily), LoadResult::OpenFailed},
      {"empty path", fs::path(), std::string(kDeviceFamily), LoadResult::OpenFailed},
      {"no handshake yet", good, "", LoadResult::NotThisFamily},
      {"other family", good, "02200002", LoadResult::NotThisFamily},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BlockTable table;
    std::int32_t count = 0;
    ASSERT_EQ(LoadFirmwareImage(good, kDeviceFamily, table, count), LoadResult::Loaded);
    count = 42;
    EXPECT_EQ(LoadFirmwareImage(c.path, c.family, table, count), c.result);
    EXPECT_EQ(count, 42);
    ExpectTableHoldsImageOf(table, 0);
  }
}

TEST_F(FirmwareFileTest, HeaderText) {
  struct Case {
    std::string bytes;
    std::string text;
  };
  const Case cases[] = {
      {std::string("QL480\0TX-V5 1.0XYZ", 19), "QL480"},
      {"QL480TX-V5 1.00ABCDEF", "QL480TX-V5 1.00A"},  // no NUL: all 16 bytes
      {"QL480TX-V5 1.00A", "QL480TX-V5 1.00A"},
      {"QL4", "QL4"},  // short file: the bytes it holds
      {"", ""},
      {std::string("\0QL480TX", 8), ""},
      {"\xb0\xe6\xb1\xbe 2.0\x7f", "\xb0\xe6\xb1\xbe 2.0\x7f"},  // 8-bit bytes kept
  };
  int n = 0;
  for (const Case& c : cases) {
    const fs::path path = WriteFile("h" + std::to_string(n++),
                                    std::vector<std::uint8_t>(c.bytes.begin(), c.bytes.end()));
    EXPECT_EQ(ReadHeaderText(path), c.text) << c.bytes;
    EXPECT_EQ(ReadFirmwareFile(path).file.headerText, c.text) << c.bytes;
  }
  EXPECT_EQ(ReadHeaderText(dir_ / "missing.QLB"), std::nullopt);
  EXPECT_EQ(ReadHeaderText(dir_), std::nullopt);
}

}  // namespace
}  // namespace ql::image
