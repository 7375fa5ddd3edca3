// ql480tx-flash's files on Windows: the file --read-flash writes, put in
// place whole and never over another file unless forced, never over a
// device or a folder; telling two names of one file apart from two files;
// the log that is only ever a disk file; and a reader that has gone.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "console.h"
#include "file_system.h"
#include "image/utf8_path.h"
#include "out_file.h"

namespace ql::flash {
namespace {

namespace fs = std::filesystem;

class WindowsFiles : public ::testing::Test {
 protected:
  WindowsFiles() {
    std::random_device seed;
    dir_ = fs::temp_directory_path() / ("ql-flash-files-" + std::to_string(seed()));
    fs::create_directories(dir_);
  }
  ~WindowsFiles() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string In(const std::string& name) const {
    return image::PathUtf8(dir_ / image::Utf8Path(name));
  }
  int Entries() const { return static_cast<int>(std::distance(fs::directory_iterator(dir_), {})); }
  static std::string Slurp(const std::string& path) {
    std::ifstream in(image::Utf8Path(path), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  fs::path dir_;
};

TEST_F(WindowsFiles, TheFlashFileIsPutInPlaceWholeAndNeverOverAnotherUnlessForced) {
  // "备份.QLB": a name the ANSI code page cannot hold.
  const std::string path = In("\xE5\xA4\x87\xE4\xBB\xBD.QLB");
  const std::vector<std::uint8_t> bytes(63504, 0xA5);
  std::string why;
  {
    auto out = OutputFile::Prepare(path, false, why);
    ASSERT_NE(out, nullptr) << why;
    EXPECT_TRUE(out->Commit(bytes, why)) << why;
  }
  EXPECT_EQ(Slurp(path), std::string(bytes.begin(), bytes.end()));
  EXPECT_EQ(Entries(), 1) << "no temporary file is left";

  EXPECT_EQ(OutputFile::Prepare(path, false, why), nullptr);
  EXPECT_EQ(why, "File exists (--force replaces it)");
  // A file made while the device is read is not replaced either.
  fs::remove(image::Utf8Path(path));
  {
    auto out = OutputFile::Prepare(path, false, why);
    ASSERT_NE(out, nullptr);
    std::ofstream(image::Utf8Path(path)) << "made meanwhile";
    EXPECT_FALSE(out->Commit(bytes, why));
    EXPECT_EQ(why, "File exists (--force replaces it)");
  }
  EXPECT_EQ(Slurp(path), "made meanwhile");
  EXPECT_EQ(Entries(), 1);

  {
    auto out = OutputFile::Prepare(path, true, why);
    ASSERT_NE(out, nullptr);
    EXPECT_TRUE(out->Commit(bytes, why));
  }
  EXPECT_EQ(Slurp(path).size(), bytes.size());

  fs::remove(image::Utf8Path(path));
  { auto abandoned = OutputFile::Prepare(path, false, why); }
  EXPECT_EQ(Entries(), 0);

  EXPECT_EQ(OutputFile::Prepare(In("no-folder\\x.QLB"), false, why), nullptr);
  EXPECT_EQ(why, "No such file or directory");
}

TEST_F(WindowsFiles, ForceNeverReplacesADeviceOrAFolder) {
  std::string why;
  for (const char* device : {"NUL", "COM1", "nul.QLB"}) {
    SCOPED_TRACE(device);
    EXPECT_EQ(OutputFile::Prepare(device, true, why), nullptr);
    EXPECT_EQ(why, "it is a device; --force replaces only a regular file or a symbolic link");
    EXPECT_EQ(OutputFile::Prepare(device, false, why), nullptr);
  }
  EXPECT_EQ(OutputFile::Prepare(image::PathUtf8(dir_), true, why), nullptr);
  EXPECT_EQ(why, "Is a directory");

  // What was a file when the read began is looked at again before the end.
  const std::string path = In("out.QLB");
  std::ofstream(image::Utf8Path(path)) << "old";
  auto out = OutputFile::Prepare(path, true, why);
  ASSERT_NE(out, nullptr) << why;
  fs::remove(image::Utf8Path(path));
  fs::create_directory(image::Utf8Path(path));
  EXPECT_FALSE(out->Commit(std::vector<std::uint8_t>(10, 1), why));
  EXPECT_EQ(why, "Is a directory");
  out.reset();
  EXPECT_EQ(Entries(), 1) << "a temporary file was left";
}

TEST_F(WindowsFiles, OneFileUnderTwoNamesIsOneFile) {
  const std::string file = In("image.QLB");
  std::ofstream(image::Utf8Path(file)) << "x";
  const std::string other = In("other.QLB");
  std::ofstream(image::Utf8Path(other)) << "y";
  ASSERT_TRUE(::CreateHardLinkW(image::Utf8Path(In("hard.QLB")).wstring().c_str(),
                                image::Utf8Path(file).wstring().c_str(), nullptr));
  EXPECT_TRUE(SameFile(file, In("IMAGE.qlb")));
  EXPECT_TRUE(SameFile(file, In("hard.QLB")));
  EXPECT_TRUE(SameFile(file, In(".\\image.QLB")));
  EXPECT_FALSE(SameFile(file, other));
  EXPECT_FALSE(SameFile(file, In("missing.QLB")));
  // Two names of one place that holds nothing yet.
  EXPECT_TRUE(SameFile(In("new.trace"), In("NEW.TRACE")));
  EXPECT_FALSE(SameFile(In("new.trace"), In("new2.trace")));
}

TEST_F(WindowsFiles, OnlyADiskFileIsALogAndItIsReadFromTheStartThenAppended) {
  int error = -1;
  EXPECT_EQ(OpenAppendFile("NUL", error), -1);
  EXPECT_EQ(error, 0) << "not a regular file";
  EXPECT_EQ(OpenAppendFile(image::PathUtf8(dir_), error), -1);
  EXPECT_NE(error, 0);
  EXPECT_EQ(OpenAppendFile(In("no-folder\\station.log"), error), -1);
  EXPECT_EQ(error, ENOENT);

  const std::string path = In("station.log");
  std::ofstream(image::Utf8Path(path), std::ios::binary) << "first\n";
  const int fd = OpenAppendFile(path, error);
  ASSERT_GE(fd, 0);
  char read[16] = {};
  EXPECT_EQ(ReadSome(fd, read, sizeof read, error), 6);
  EXPECT_EQ(WriteSome(fd, "second\n", 7, error), 7);
  EXPECT_EQ(SyncFile(fd), 0);
  CloseFile(fd);
  EXPECT_EQ(Slurp(path), "first\nsecond\n");
}

TEST(WindowsConsole, AReaderThatHasGoneEndsOnlyTheOutput) {
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  ::CloseHandle(readEnd);
  const int out = ::_open_osfhandle(reinterpret_cast<intptr_t>(writeEnd), _O_BINARY);
  ASSERT_GE(out, 0);
  Console console(out, 2, false, 1, 80);
  for (int i = 0; i < 1000; ++i) {
    console.Line("line " + std::to_string(i));
  }
  console.Finish();
  EXPECT_EQ(console.OutputError(), "Broken pipe");
  ::_close(out);
}

}  // namespace
}  // namespace ql::flash
