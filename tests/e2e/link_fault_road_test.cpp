// The line between the utility and the device, on both link kinds: a
// half-duplex adapter that echoes every request, a glitch byte where the line
// turns round, a converter repeating the previous reply just before or after
// a reply, and a device server far away whose replies all come late, one of
// them later still. Over a short image whose tail is erased, so neighbouring
// blocks hold the same data: with one block stored wrongly the upgrade must
// fail verification and the device must never be told to run; with the flash
// intact it must succeed. Then replies that pause for a few milliseconds part
// way, on the pseudo-terminal at the slow line rates, which must not cut them.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <ostream>
#include <span>
#include <tuple>

#include "link/exchange_observer.h"
#include "link/line_settings.h"
#include "road_fixture.h"
#include "text/message_table.h"

namespace ql::testing_support {
namespace {

namespace msg = text::msg;

using namespace std::chrono_literals;
using sim::CommandKind;
using sim::CommandSelector;
using upgrade::UpgradeResult;

// Counts what the exchanges saw: how often the link was brought back in step.
class ResyncCounter final : public link::ExchangeObserver {
 public:
  void FrameSent(std::span<const std::uint8_t>) override {}
  void BytesReceived(std::span<const std::uint8_t>) override {}
  void ExchangeEnded(link::ExchangeVerdict, const link::ExchangeNotes&) override {}
  void LinkResynced(std::span<const std::uint8_t>, bool) override { ++resyncs; }

  int resyncs = 0;
};

constexpr int kImageBlocks = 12;
// Four blocks of varied bytes, then erased: blocks 4 to 11 all read FF.
std::vector<std::uint8_t> ImageWithErasedTail() {
  std::vector<std::uint8_t> image = PatternImage(4 * 512);
  image.resize(kImageBlocks * 512 - 6, 0xFF);  // the loader's six repeats end the last block
  return image;
}

// A block of the erased tail whose neighbour before it holds the same data.
constexpr int kTailBlock = 8;
// Its first read-back, when nothing before it was read again. Whichever read
// a fault falls on, the invariant must hold.
constexpr std::size_t kTailBlockReadBack = kTailBlock + 1;

CommandSelector Every() {
  return {};
}
CommandSelector ReadBack(std::size_t nth) {
  return {CommandKind::Verify, nth};
}

struct LinkFaultCase {
  const char* name;
  sim::FaultConfig faults;
  int wrongBlock;  // stored with a flipped bit when the case is not intact
  // An echoing adapter, whose every exchange is otherwise clean: a resync
  // after every block is the fault (a whole reply window each).
  bool fewResyncs;
};

void PrintTo(const LinkFaultCase& c, std::ostream* out) {
  *out << c.name;
}

std::vector<LinkFaultCase> Cases() {
  using F = sim::FaultConfig;
  const auto echo = [](F& f) { f.echoRequest = {Every()}; };
  const auto glitchZero = [](F& f) {
    f.glitchBefore = {Every()};
    f.glitchByte = 0x00;
  };
  const auto echoThenGlitchFf = [](F& f) {
    f.echoRequest = {Every()};
    f.glitchBefore = {Every()};
    f.glitchByte = 0xFF;
  };
  const auto staleBefore = [](F& f) {
    f.echoRequest = {Every()};
    f.staleBefore = {ReadBack(kTailBlockReadBack)};
  };
  const auto staleAfter = [](F& f) {
    f.echoRequest = {Every()};
    f.staleAfter = {ReadBack(kTailBlockReadBack)};
  };
  // A device server 150 ms away; one read-back reply is held 400 ms longer
  // (a lost segment), and the replies behind it wait for it.
  const auto slowLink = [](F& f) {
    f.replyLatency = 150ms;
    f.lateReply = {{ReadBack(6), 400ms}};
  };
  return {
      {"EchoingAdapter", Faults(echo), kTailBlock, true},
      {"GlitchZeroBeforeEveryReply", Faults(glitchZero), kTailBlock, false},
      {"EchoThenGlitchFfBeforeEveryReply", Faults(echoThenGlitchFf), kTailBlock, false},
      {"StaleCopyBeforeTheReply", Faults(staleBefore), kTailBlock, false},
      {"StaleCopyAfterTheReply", Faults(staleAfter), kTailBlock, false},
      {"SlowLinkLastBlockWrong", Faults(slowLink), kImageBlocks - 1, false},
  };
}

class LinkFaultRoad
    : public DeviceRoadBase,
      public testing::WithParamInterface<std::tuple<sim::LinkType, LinkFaultCase, bool>> {
 protected:
  sim::LinkType Link() const override { return std::get<0>(GetParam()); }
  const LinkFaultCase& Case() const { return std::get<1>(GetParam()); }
  bool Intact() const { return std::get<2>(GetParam()); }
};

TEST_P(LinkFaultRoad, UpgradeOkOnlyWhenTheFlashHoldsTheImage) {
  sim::FaultConfig faults = Case().faults;
  if (!Intact()) {
    faults.storedBitFlips = {{Case().wrongBlock, 200, 6}};
  }
  Serve(faults);
  const TempFirmware file(kHeader, ImageWithErasedTail());
  ASSERT_EQ(Connect(file.path()), upgrade::ConnectResult::Matched);
  ASSERT_EQ(state_.blockCount, kImageBlocks);

  ResyncCounter counter;
  env_.observer = &counter;
  const UpgradeResult result = Upgrade();
  const sim::Counters counters = emulator_->GetCounters();
  RecordProperty("resyncs", counter.resyncs);
  RecordProperty("read_backs", static_cast<int>(counters.verifies));
  if (Intact()) {
    EXPECT_TRUE(FlashHoldsImage());
    EXPECT_EQ(result, UpgradeResult::UpgradeOk);
    EXPECT_EQ(LastMessage(), Msg(msg::kUpgradeOk));
    EXPECT_EQ(counters.runs, 1U);
    if (Case().fewResyncs) {
      // One stall of a busy machine may cost a resync; one per block is the fault.
      EXPECT_LE(counter.resyncs, 1) << "the echo of each request was taken for stray bytes";
    }
  } else {
    EXPECT_FALSE(FlashHoldsImage());
    EXPECT_EQ(result, UpgradeResult::VerifyFailed);
    EXPECT_EQ(LastMessage(), Msg(msg::kVerifyError));
    EXPECT_EQ(counters.runs, 0U) << "the device was told to run an image it does not hold";
    EXPECT_GT(counters.verifies, static_cast<std::size_t>(Case().wrongBlock))
        << "verification got as far as the wrong block";
  }
}

INSTANTIATE_TEST_SUITE_P(
    LinkFaults, LinkFaultRoad,
    testing::Combine(testing::Values(sim::LinkType::Tcp, sim::LinkType::Pty),
                     testing::ValuesIn(Cases()), testing::Bool()),
    [](const testing::TestParamInfo<std::tuple<sim::LinkType, LinkFaultCase, bool>>& info) {
      return std::string(std::get<0>(info.param) == sim::LinkType::Tcp ? "Tcp_" : "Pty_") +
             std::get<1>(info.param).name + (std::get<2>(info.param) ? "Intact" : "");
    });

// Replies paced at the line rate, each held up for 3 ms part way, as a
// pseudo-terminal's kernel hand-over, a USB adapter or a busy host does:
// longer than the quiet period that ends a reply between characters at
// 9600 and 19200 baud, so a wait that takes any such pause for the end of
// the reply cuts every reply, on every try. The pause falls near the end
// of a read-back reply, past the first 300 ms of the wait at every rate
// here (byte 1000 at 19200 baud: about 570 ms), where a quiet period ends
// it; a shorter reply pauses before its CR.
constexpr std::size_t kPauseAt = 1000;

class PausedReplyRoad : public DeviceRoadBase, public testing::WithParamInterface<const char*> {
 protected:
  sim::LinkType Link() const override { return sim::LinkType::Pty; }
};

TEST_P(PausedReplyRoad, RepliesWithAPauseInsideAreTakenWhole) {
  const auto line = link::ParseLineSettings(GetParam());
  ASSERT_TRUE(line.has_value());
  Serve(Faults([&line](sim::FaultConfig& f) {
    f.pacing = {.baud = line->baud, .bitsPerByte = 11};  // 8E1
    f.replyPauses = {{.when = Every(), .hold = 3ms, .at = kPauseAt}};
  }));

  // Two blocks: the read-back replies alone take over two seconds each at 4800 baud.
  std::vector<std::uint8_t> file(kHeader, kHeader + std::strlen(kHeader));
  file.resize(image::kHeaderSize, 0);
  const std::vector<std::uint8_t> image = PatternImage(700);
  file.insert(file.end(), image.begin(), image.end());
  const RawFirmware firmware(file);

  settings::LinkControls controls = Controls();
  controls.baudRate = GetParam();
  ASSERT_EQ(Connect(controls, firmware.path()), upgrade::ConnectResult::Matched);
  ASSERT_EQ(state_.blockCount, 2);
  EXPECT_EQ(Upgrade(), UpgradeResult::UpgradeOk) << LastMessage();
  EXPECT_TRUE(FlashHoldsImage());
  RecordProperty("read_backs", static_cast<int>(emulator_->GetCounters().verifies));
}

INSTANTIATE_TEST_SUITE_P(SlowLines, PausedReplyRoad,
                         testing::Values("4800,e,8,1", "9600,e,8,1", "19200,e,8,1"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), ',', '_');
                           return name;
                         });

}  // namespace
}  // namespace ql::testing_support
