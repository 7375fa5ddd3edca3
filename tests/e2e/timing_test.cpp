// How long one upgrade of a full image takes on the real clock, with the
// real seven-second wait after the run command. Not part of the suite: run
// it with --gtest_also_run_disabled_tests --gtest_filter='*Timing*'.
#include <chrono>
#include <cstdio>

#include "road_fixture.h"

namespace ql::testing_support {
namespace {

using Ms = std::chrono::duration<double, std::milli>;

class Timing : public DeviceRoadBase {
 protected:
  sim::LinkType Link() const override { return sim::LinkType::Tcp; }
};

TEST_F(Timing, DISABLED_FullImageOverTcpOnTheRealClock) {
  upgrade::Environment env{events_, clock_, link::TryOpenLink, StoreIn(store_)};
  Serve();
  const TempFirmware file(kHeader, PatternImage(124 * 512));
  upgrade::ConnectInputs inputs;
  settings::TakeLinkControls(Controls(), inputs.link);
  inputs.fileVersionText = kHeader;
  inputs.selectedHeader = kHeader;
  inputs.firmwarePath = file.path();

  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(upgrade::ConnectProcedure(inputs, state_, env), upgrade::ConnectResult::Matched);
  const auto connected = std::chrono::steady_clock::now();
  ASSERT_EQ(state_.blockCount, 124);
  ASSERT_EQ(upgrade::UpgradeSequence("0001", state_, env), upgrade::UpgradeResult::UpgradeOk);
  const auto upgraded = std::chrono::steady_clock::now();
  EXPECT_TRUE(FlashHoldsImage());

  std::printf("connect %.0f ms, upgrade %.0f ms, total %.0f ms\n", Ms(connected - start).count(),
              Ms(upgraded - connected).count(), Ms(upgraded - start).count());
}

}  // namespace
}  // namespace ql::testing_support
