// The whole road against the emulator: connect, program, verify, run, and
// the device's flash afterwards; upgrading again; and the link going away
// in the middle of an upgrade.
#include <algorithm>
#include <chrono>

#include "road_fixture.h"
#include "text/message_table.h"

namespace ql::testing_support {
namespace {

namespace msg = text::msg;
using namespace std::chrono_literals;
using upgrade::ConnectResult;
using upgrade::UpgradeResult;
using MessageList = std::vector<std::string>;

std::vector<std::uint8_t> FileBytes(std::string_view header, std::size_t imageBytes) {
  std::vector<std::uint8_t> bytes(header.begin(), header.end());
  bytes.resize(image::kHeaderSize, 0);
  const std::vector<std::uint8_t> image = PatternImage(imageBytes);
  bytes.insert(bytes.end(), image.begin(), image.end());
  return bytes;
}

const MessageList kUpgradeMessages = {Msg(msg::kProgramming), Msg(msg::kProgramOk),
                                      Msg(msg::kVerifying),   Msg(msg::kVerifyOk),
                                      Msg(msg::kUpgrading),   Msg(msg::kUpgradeOk)};

class UpgradeRoad : public DeviceRoad {
 protected:
  // Connect and upgrade `file`, expecting both to succeed with `blocks` blocks.
  void Road(const RawFirmware& file, const std::string& header, int blocks) {
    ASSERT_EQ(Connect(file.path(), header), ConnectResult::Matched);
    ASSERT_EQ(state_.blockCount, blocks);
    log_.clear();
    EXPECT_EQ(Upgrade(), UpgradeResult::UpgradeOk);
  }
};

TEST_P(UpgradeRoad, EveryBlockReachesTheFlashBeforeUpgradeOk) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> file;
    std::string header;
    int blocks;
  };
  const Case cases[] = {
      {"two blocks, the last one short", FileBytes(kHeader, 700), kHeader, 2},
      // Ten bytes short of five blocks: the six repeats of the last byte fill it.
      {"exactly five blocks", FileBytes(kHeader, 5 * 512 - 6), kHeader, 5},
      {"the whole flash", FileBytes(kHeader, 124 * 512), kHeader, 124},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    state_ = {};
    Serve();
    const RawFirmware file(c.file);

    Road(file, c.header, c.blocks);
    EXPECT_EQ(Messages(), kUpgradeMessages);
    EXPECT_TRUE(InOrder(log_, {"end run ok", "tone 1000 300", "finish done"}));
    const std::string last = std::to_string(c.blocks - 1);
    EXPECT_TRUE(InOrder(
        log_,
        {"blocks program " + std::to_string(c.blocks), "block program " + last, "end program ok",
         "blocks verify " + std::to_string(c.blocks), "block verify " + last, "end verify ok"}));

    const std::vector<std::uint8_t> flash = emulator_->Flash();
    EXPECT_EQ(flash, ExpectedFlash());
    // The file's own bytes, read independently of the block table.
    const std::size_t imageBytes =
        c.file.size() > image::kHeaderSize
            ? std::min<std::size_t>(c.file.size() - image::kHeaderSize, sim::kFlashSize)
            : 0;
    const auto imageBegin = c.file.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(
                                                 c.file.size(), image::kHeaderSize));
    EXPECT_TRUE(std::equal(imageBegin, imageBegin + imageBytes, flash.begin()));
    EXPECT_TRUE(std::all_of(flash.begin() + c.blocks * image::kBlockSize, flash.end(),
                            [](std::uint8_t b) { return b == 0xFF; }));

    const sim::Counters counters = emulator_->GetCounters();
    EXPECT_EQ(counters.handshakes, 3U);
    EXPECT_EQ(counters.writes, static_cast<std::size_t>(c.blocks));
    EXPECT_EQ(counters.verifies, static_cast<std::size_t>(c.blocks));
    EXPECT_EQ(counters.runs, 1U);
    EXPECT_EQ(counters.unanswered, 0U);
  }
  EXPECT_EQ(Matching(log_, "run sent").size(), 1U);
}

TEST_P(UpgradeRoad, PressingUpgradeAgainRepeatsEveryPhase) {
  Serve();
  const RawFirmware file(FileBytes(kHeader, 3 * 512));
  Road(file, kHeader, 4);
  log_.clear();

  EXPECT_EQ(Upgrade(), UpgradeResult::UpgradeOk);
  EXPECT_EQ(Messages(), kUpgradeMessages);
  const sim::Counters counters = emulator_->GetCounters();
  EXPECT_EQ(counters.handshakes, 5U);
  EXPECT_EQ(counters.writes, 8U);
  EXPECT_EQ(counters.verifies, 8U);
  EXPECT_EQ(counters.runs, 2U);
  EXPECT_TRUE(FlashHoldsImage());
}

TEST_P(UpgradeRoad, LinkVanishingMidUpgradeEndsInAFailureWithoutHanging) {
  // Four blocks. Commands: 1 the connect's handshake, 2 the programming
  // handshake, 3-6 the writes, 7 the verifying handshake, 8-11 the read-backs.
  struct Case {
    const char* name;
    std::size_t hangUpAfter;
    UpgradeResult expected;
    const char* phaseEnd;
  };
  const Case cases[] = {
      {"while programming", 4, UpgradeResult::ProgramFailed, "end program"},
      {"while verifying", 8, UpgradeResult::VerifyFailed, "end verify"},
  };
  const RawFirmware file(FileBytes(kHeader, 3 * 512 + 100));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    state_ = {};
    Serve(Faults([&](auto& f) { f.hangUpAfterCommands = c.hangUpAfter; }));
    ASSERT_EQ(Connect(file.path()), ConnectResult::Matched);
    ASSERT_EQ(state_.blockCount, 4);
    log_.clear();
    FrameCounter frames;
    env_.observer = &frames;

    EXPECT_EQ(Upgrade(), c.expected);
    env_.observer = nullptr;
    // The upgrade's own commands up to the hang-up, then at most five tries
    // of the next one.
    EXPECT_LE(frames.sent, static_cast<int>(c.hangUpAfter) - 1 + 5);
    EXPECT_EQ(Matching(log_, c.phaseEnd).size(), 1U);
    EXPECT_EQ(log_.back(), "finish phase failed");
    const sim::Counters counters = emulator_->GetCounters();
    EXPECT_EQ(counters.hangUps, 1U);
    EXPECT_EQ(counters.runs, 0U);
    EXPECT_EQ(counters.commands, c.hangUpAfter);
  }
}

INSTANTIATE_TEST_SUITE_P(Links, UpgradeRoad,
                         testing::Values(sim::LinkType::Tcp, sim::LinkType::Pty), LinkName);

}  // namespace
}  // namespace ql::testing_support
