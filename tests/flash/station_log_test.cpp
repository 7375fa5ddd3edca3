// The station log's file handling and the digest that names the firmware:
// records survive a reopen, numbering goes on per link, a line cut short is
// skipped and never joined to the next, and what cannot be a log is refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "sha256.h"
#include "station_log.h"

namespace ql::flash {
namespace {

std::string Sha(const std::string& text) {
  return Sha256Hex(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(Sha(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits into the first padded block.
  EXPECT_EQ(Sha("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  // A file is read in pieces: split anywhere, across the 64-byte blocks, the
  // digest is the same.
  const std::string text(150, 'q');
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  for (std::size_t split = 0; split <= text.size(); ++split) {
    Sha256Stream stream;
    stream.Add(std::span(bytes, split));
    stream.Add(std::span(bytes + split, text.size() - split));
    EXPECT_EQ(HexDigest(stream.Finish()),
              "89b4b3c2123ba325e18c84d76e9c0cc3f0a4e7df9de2f13af4e58634429ced7e")
        << split;
  }
}

class StationLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("station-log-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "station.log").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Contents() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path dir_;
  std::string path_;
};

TEST_F(StationLogTest, NumberingGoesOnPerLinkAcrossRuns) {
  std::string why;
  {
    auto log = StationLog::Open(path_, why);
    ASSERT_TRUE(log) << why;
    EXPECT_EQ(log->TakeUnitNumber("127.0.0.1:5003"), 1);
    EXPECT_EQ(log->TakeUnitNumber("127.0.0.1:5003"), 2);
    EXPECT_EQ(log->TakeUnitNumber("/dev/ttyUSB0"), 1);
    ASSERT_TRUE(log->Append({{"link", "127.0.0.1:5003"}, {"unit", 1}}, why)) << why;
    ASSERT_TRUE(log->Append({{"link", "127.0.0.1:5003"}, {"unit", 2}}, why)) << why;
    ASSERT_TRUE(log->Append({{"link", "/dev/ttyUSB0"}, {"unit", 1}}, why)) << why;
  }
  auto again = StationLog::Open(path_, why);
  ASSERT_TRUE(again) << why;
  EXPECT_EQ(again->TakeUnitNumber("127.0.0.1:5003"), 3);
  EXPECT_EQ(again->TakeUnitNumber("/dev/ttyUSB0"), 2);
  EXPECT_EQ(again->TakeUnitNumber("127.0.0.1:5004"), 1);
}

TEST_F(StationLogTest, ALineCutShortIsSkippedAndNeverJoinedToTheNext) {
  {
    std::ofstream out(path_, std::ios::binary);
    out << R"({"link":"a","unit":4})" << '\n' << R"({"link":"a","unit":9,"utc":"2026-)";
  }
  std::string why;
  auto log = StationLog::Open(path_, why);
  ASSERT_TRUE(log) << why;
  EXPECT_EQ(log->TakeUnitNumber("a"), 5) << "the cut line holds no unit";
  ASSERT_TRUE(log->Append({{"link", "a"}, {"unit", 5}}, why)) << why;
  const std::string text = Contents();
  EXPECT_EQ(text.substr(text.rfind('\n', text.size() - 2) + 1), "{\"link\":\"a\",\"unit\":5}\n");
}

TEST_F(StationLogTest, WhatCannotBeALogIsRefused) {
  std::string why;
  EXPECT_FALSE(StationLog::Open(dir_.string(), why)) << "a folder";
  EXPECT_FALSE(why.empty());
  EXPECT_FALSE(StationLog::Open((dir_ / "missing" / "station.log").string(), why));
  EXPECT_FALSE(why.empty());
  EXPECT_FALSE(StationLog::Open("/dev/null", why)) << "a device";
}

TEST(JsonLine, TextThatIsNotUtf8IsKeptReplaced) {
  const std::string line = JsonLine({{"file", std::string("fw\xff\xfe.QLB")}});
  EXPECT_EQ(nlohmann::json::parse(line)["file"], "fw\xEF\xBF\xBD\xEF\xBF\xBD.QLB");
}

}  // namespace
}  // namespace ql::flash
