// Replies that fall out of step with their requests during verification of a
// full image whose tail is erased (0xFF), against the emulator on both link
// kinds: a late reply whose retry takes it, a reply sent twice, a late reply
// followed by a lost one or one whose CR is lost. With one block stored
// wrongly in the tail the upgrade must fail verification and the device must
// never be told to run; with the flash intact it must succeed.
#include <chrono>
#include <optional>
#include <ostream>
#include <tuple>

#include "road_fixture.h"
#include "text/message_table.h"

namespace ql::testing_support {
namespace {

namespace msg = text::msg;

using namespace std::chrono_literals;
using sim::CommandKind;
using sim::CommandSelector;
using upgrade::UpgradeResult;

// 40 blocks of varied bytes, then erased up to the 124th block.
std::vector<std::uint8_t> ImageWithErasedTail() {
  std::vector<std::uint8_t> image = PatternImage(40 * 512);
  image.resize(124 * 512 - 6, 0xFF);  // the loader's six repeats end block 123
  return image;
}

CommandSelector Verify(std::size_t nth) {
  return {CommandKind::Verify, nth};
}

struct OutOfStepCase {
  const char* name;
  sim::FaultConfig faults;
  std::optional<int> wrongBlock;  // stored with a flipped bit
};

void PrintTo(const OutOfStepCase& c, std::ostream* out) {
  *out << c.name;
}

std::vector<OutOfStepCase> Cases() {
  using F = sim::FaultConfig;
  const auto lateRetried = [](F& f) { f.lateReply = {{Verify(111), 350ms}}; };
  const auto sentTwice = [](F& f) { f.duplicateReply = {Verify(100)}; };
  const auto lateThenLost = [](F& f) {
    f.lateReply = {{Verify(123), 350ms}};
    f.dropReply = {Verify(125)};
  };
  const auto lateThenCrLost = [](F& f) {
    f.lateReply = {{Verify(123), 350ms}};
    f.dropLastByte = {Verify(125)};
  };
  return {
      {"LateReadBackTakenByItsRetry", Faults(lateRetried), 111},
      {"LateReadBackTakenByItsRetryIntact", Faults(lateRetried), std::nullopt},
      {"ReadBackSentTwice", Faults(sentTwice), 105},
      {"ReadBackSentTwiceIntact", Faults(sentTwice), std::nullopt},
      {"LateReadBackThenLostOne", Faults(lateThenLost), 123},
      {"LateReadBackThenLostOneIntact", Faults(lateThenLost), std::nullopt},
      {"LateReadBackThenLostCr", Faults(lateThenCrLost), 123},
      {"LateReadBackThenLostCrIntact", Faults(lateThenCrLost), std::nullopt},
  };
}

class OutOfStepRoad : public DeviceRoadBase,
                      public testing::WithParamInterface<std::tuple<sim::LinkType, OutOfStepCase>> {
 protected:
  sim::LinkType Link() const override { return std::get<0>(GetParam()); }
  const OutOfStepCase& Case() const { return std::get<1>(GetParam()); }
};

TEST_P(OutOfStepRoad, UpgradeOkOnlyWhenTheFlashHoldsTheImage) {
  sim::FaultConfig faults = Case().faults;
  if (Case().wrongBlock) {
    faults.storedBitFlips = {{*Case().wrongBlock, 100, 3}};
  }
  Serve(faults);
  const TempFirmware file(kHeader, ImageWithErasedTail());
  ASSERT_EQ(Connect(file.path()), upgrade::ConnectResult::Matched);
  ASSERT_EQ(state_.blockCount, 124);

  const UpgradeResult result = Upgrade();
  const sim::Counters counters = emulator_->GetCounters();
  if (Case().wrongBlock) {
    EXPECT_FALSE(FlashHoldsImage());
    EXPECT_EQ(result, UpgradeResult::VerifyFailed);
    EXPECT_EQ(LastMessage(), Msg(msg::kVerifyError));
    EXPECT_EQ(counters.runs, 0U) << "the device was told to run an image it does not hold";
    // Verification got as far as the wrong block.
    EXPECT_GT(counters.verifies, static_cast<std::size_t>(*Case().wrongBlock));
  } else {
    EXPECT_TRUE(FlashHoldsImage());
    EXPECT_EQ(result, UpgradeResult::UpgradeOk);
    EXPECT_EQ(LastMessage(), Msg(msg::kUpgradeOk));
    EXPECT_EQ(counters.runs, 1U);
    // Every block was read back, and the disturbed ones again.
    EXPECT_GT(counters.verifies, 124U);
  }
}

INSTANTIATE_TEST_SUITE_P(
    OutOfStep, OutOfStepRoad,
    testing::Combine(testing::Values(sim::LinkType::Tcp, sim::LinkType::Pty),
                     testing::ValuesIn(Cases())),
    [](const testing::TestParamInfo<std::tuple<sim::LinkType, OutOfStepCase>>& info) {
      return std::string(std::get<0>(info.param) == sim::LinkType::Tcp ? "Tcp_" : "Pty_") +
             std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace ql::testing_support

namespace ql::testing_support {
namespace {

// A device that strikes read-back replies at random - lost, late, twice,
// without their CR, with noise or a wrong CRC - over a short image with an
// erased tail: whatever the draw, never "Upgrade ok." over a wrong block.
class RandomFaultRoad : public DeviceRoadBase,
                        public testing::WithParamInterface<std::tuple<sim::LinkType, int>> {
 protected:
  sim::LinkType Link() const override { return std::get<0>(GetParam()); }
};

TEST_P(RandomFaultRoad, NeverUpgradeOkOverAWrongBlock) {
  const int seed = std::get<1>(GetParam());
  std::vector<std::uint8_t> image = PatternImage(4 * 512);
  image.resize(16 * 512 - 6, 0xFF);
  for (const bool intact : {true, false}) {
    SCOPED_TRACE(intact ? "intact" : "wrong block");
    sim::FaultConfig faults;
    faults.random = {.perMille = 150, .seed = static_cast<std::uint64_t>(seed)};
    if (!intact) {
      faults.storedBitFlips = {{8 + seed % 8, 300, 5}};
    }
    Serve(faults);
    const TempFirmware file(kHeader, image);
    ASSERT_EQ(Connect(file.path()), upgrade::ConnectResult::Matched);
    const UpgradeResult result = Upgrade();
    const sim::Counters counters = emulator_->GetCounters();
    EXPECT_EQ(FlashHoldsImage(), intact);
    // Lost, late, doubled and damaged replies are recovered from.
    EXPECT_EQ(result == UpgradeResult::UpgradeOk, intact);
    if (result == UpgradeResult::UpgradeOk || counters.runs > 0) {
      EXPECT_TRUE(FlashHoldsImage()) << "Upgrade ok or a run command over a wrong block";
    }
    RecordProperty(intact ? "intact" : "wrong",
                   result == UpgradeResult::UpgradeOk ? "ok" : "failed");
    emulator_->Stop();
    log_.clear();
    state_ = {};
  }
}

INSTANTIATE_TEST_SUITE_P(
    Random, RandomFaultRoad,
    testing::Combine(testing::Values(sim::LinkType::Tcp, sim::LinkType::Pty), testing::Range(1, 7)),
    [](const testing::TestParamInfo<std::tuple<sim::LinkType, int>>& info) {
      return std::string(std::get<0>(info.param) == sim::LinkType::Tcp ? "Tcp_" : "Pty_") + "Seed" +
             std::to_string(std::get<1>(info.param));
    });

}  // namespace
}  // namespace ql::testing_support
