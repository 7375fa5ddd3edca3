// What a firmware file may be on Linux: only a regular file, reached directly
// or through a link, and nothing else ever blocks the read.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "image/firmware_file.h"
#include "support/bounded_call.h"

namespace ql::image {
namespace {

using testing_support::ReturnsTrue;

namespace fs = std::filesystem;

class RegularFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "ql-image-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code error;
    fs::remove_all(dir_, error);
  }

  // A firmware file of `length` bytes.
  fs::path PatternFile(std::size_t length) {
    const fs::path path = dir_ / ("image" + std::to_string(length) + ".QLB");
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < length; ++i) {
      out.put(static_cast<char>(i % 251));
    }
    return path;
  }

  fs::path dir_;
};

// Only a regular file, reached directly or through a link, is a firmware
// file; everything else is a file that cannot be opened, at once. A FIFO
// with no writer used to block the open for ever.
TEST_F(RegularFileTest, OnlyRegularFilesOpenAndNothingElseBlocks) {
  const fs::path regular = PatternFile(600);
  const fs::path fifo = dir_ / "fifo.QLB";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path socketPath = dir_ / "socket.QLB";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.string().size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socketPath.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  fs::create_symlink(regular, dir_ / "link-to-file.QLB");
  fs::create_symlink(fifo, dir_ / "link-to-fifo.QLB");
  fs::create_symlink(dir_ / "nowhere.QLB", dir_ / "dangling.QLB");
  fs::create_symlink("/dev/zero", dir_ / "link-to-zero.QLB");

  const struct {
    const char* what;
    fs::path path;
    bool opens;
  } cases[] = {
      {"regular file", regular, true},
      {"link to a regular file", dir_ / "link-to-file.QLB", true},
      {"FIFO with no writer", fifo, false},
      {"link to a FIFO", dir_ / "link-to-fifo.QLB", false},
      {"/dev/zero", "/dev/zero", false},
      {"link to /dev/zero", dir_ / "link-to-zero.QLB", false},
      {"socket", socketPath, false},
      {"folder", dir_, false},
      {"dangling link", dir_ / "dangling.QLB", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(ReturnsTrue([&] { return ReadHeaderText(c.path).has_value() == c.opens; }))
        << "the header read gave the wrong result or did not return";
    EXPECT_TRUE(ReturnsTrue([&] {
      BlockTable table;
      std::int32_t count = 42;
      const LoadResult result = LoadFirmwareImage(c.path, kDeviceFamily, table, count);
      return c.opens ? result == LoadResult::Loaded && count == 2
                     : result == LoadResult::OpenFailed && count == 42;
    })) << "the load gave the wrong result or did not return";
  }
  ::close(listener);
}

}  // namespace
}  // namespace ql::image
