// The whole road over the pseudo-terminal at every line setting an operator
// can pick, against a device that puts its replies on the line at that rate
// and framing, byte after byte as a UART does. Requests go unpaced: on a
// pseudo-terminal a write cannot last its line time, so a paced request
// would take up the reply window it opens.
#include <algorithm>
#include <cstring>

#include "link/line_settings.h"
#include "road_fixture.h"

namespace ql::testing_support {
namespace {

using upgrade::ConnectResult;
using upgrade::UpgradeResult;

class LineRateRoad : public DeviceRoadBase, public testing::WithParamInterface<const char*> {
 protected:
  sim::LinkType Link() const override { return sim::LinkType::Pty; }
};

TEST_P(LineRateRoad, TwoBlocksReachTheFlashAndUpgradeOk) {
  const auto line = link::ParseLineSettings(GetParam());
  ASSERT_TRUE(line.has_value());
  // Start bit, eight data bits, the parity bit if any, one stop bit.
  const double bits = line->parity == link::Parity::None ? 10 : 11;
  Serve(Faults([&](sim::FaultConfig& f) { f.pacing = {.baud = line->baud, .bitsPerByte = bits}; }));

  std::vector<std::uint8_t> file(kHeader, kHeader + std::strlen(kHeader));
  file.resize(image::kHeaderSize, 0);
  const std::vector<std::uint8_t> image = PatternImage(700);
  file.insert(file.end(), image.begin(), image.end());
  const RawFirmware firmware(file);

  settings::LinkControls controls = Controls();
  controls.baudRate = GetParam();
  ASSERT_EQ(Connect(controls, firmware.path()), ConnectResult::Matched);
  ASSERT_EQ(state_.blockCount, 2);
  EXPECT_EQ(Upgrade(), UpgradeResult::UpgradeOk) << LastMessage();
  EXPECT_TRUE(FlashHoldsImage());
  // On a clean line every block is written and read once. A pause the
  // pseudo-terminal's kernel worker leaves on a busy machine can still cut
  // one reply, which is then read again; a device whose replies the line
  // cuts every time would not reach "Upgrade ok." at all.
  const sim::Counters counters = emulator_->GetCounters();
  RecordProperty("writes", static_cast<int>(counters.writes));
  RecordProperty("read_backs", static_cast<int>(counters.verifies));
}

INSTANTIATE_TEST_SUITE_P(EveryListedSetting, LineRateRoad,
                         testing::ValuesIn(link::kLineSettingChoices),
                         [](const testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), ',', '_');
                           return name;
                         });

}  // namespace
}  // namespace ql::testing_support
