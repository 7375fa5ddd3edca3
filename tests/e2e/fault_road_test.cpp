// Every fault the emulator can inject, alone and in a few combinations, on
// both link kinds: whatever goes wrong, "Upgrade ok." is shown only when the
// device's flash holds the image, and the device is told to run only an
// image that compared equal.
#include <chrono>
#include <ostream>
#include <tuple>

#include "image/firmware_file.h"
#include "road_fixture.h"
#include "text/message_table.h"

namespace ql::testing_support {
namespace {

namespace msg = text::msg;

using namespace std::chrono_literals;
using sim::CommandKind;
using upgrade::UpgradeResult;

// The outcome a case must have. Either: it depends on timing or on bytes (a
// late reply and the one behind it may come in one TCP read, which keeps only
// the first; a CRC of digits only reads the same in lowercase), but the
// invariant must hold whichever it is.
enum class Expect { Ok, ProgramFailed, VerifyFailed, Either };

enum class ImageKind {
  Pattern,  // four blocks of varied bytes
  FfTail,   // two blocks of varied bytes, then four of 0xFF
};

// A late reply is late by this much: well past the 300 ms window, so a busy
// machine does not turn it into an on-time one.
constexpr auto kLate = 500ms;

struct FaultCase {
  std::string name;
  sim::FaultConfig faults;
  Expect tcp;
  Expect pty;
  ImageKind image;
  // The connect procedure needs a 29-byte handshake reply; with other
  // lengths the road starts at the upgrade, with the image loaded directly.
  bool viaConnect;
};

void PrintTo(const FaultCase& c, std::ostream* out) {
  *out << c.name;
}

FaultCase MakeCase(std::string name, Expect tcp, Expect pty, sim::FaultConfig faults,
                   ImageKind image = ImageKind::Pattern, bool viaConnect = true) {
  return {std::move(name), std::move(faults), tcp, pty, image, viaConnect};
}

sim::CommandSelector Nth(CommandKind kind, std::size_t nth) {
  return {kind, nth};
}
sim::CommandSelector Every(CommandKind kind) {
  return {kind, 0};
}

// Commands are numbered from the connect's handshake (1) on: the programming
// handshake is handshake 2, the verifying one handshake 3. With four blocks
// the run command is command 12.
std::vector<FaultCase> FaultCases() {
  constexpr Expect ok = Expect::Ok;
  constexpr Expect program = Expect::ProgramFailed;
  constexpr Expect verify = Expect::VerifyFailed;
  constexpr Expect either = Expect::Either;
  using F = sim::FaultConfig;
  return {
      MakeCase("NoFault", ok, ok, {}),
      MakeCase("WriteReplyLost", ok, ok,
               Faults([](F& f) { f.dropReply = {Nth(CommandKind::Write, 2)}; })),
      MakeCase("ReadBackReplyLost", ok, ok,
               Faults([](F& f) { f.dropReply = {Nth(CommandKind::Verify, 4)}; })),
      MakeCase("RunReplyLost", ok, ok,
               Faults([](F& f) { f.dropReply = {Every(CommandKind::Run)}; })),
      MakeCase("ProgrammingHandshakeLost", program, program,
               Faults([](F& f) { f.dropReply = {Nth(CommandKind::Handshake, 2)}; })),
      MakeCase("VerifyingHandshakeLost", verify, verify,
               Faults([](F& f) { f.dropReply = {Nth(CommandKind::Handshake, 3)}; })),
      MakeCase("LateWriteReply", ok, ok, Faults([](F& f) {
                 f.lateReply = {{Nth(CommandKind::Write, 2), kLate}};
               })),
      MakeCase("LateReadBackReply", ok, ok, Faults([](F& f) {
                 f.lateReply = {{Nth(CommandKind::Verify, 2), kLate}};
               })),
      MakeCase("LateRunReply", ok, ok, Faults([](F& f) {
                 f.lateReply = {{Every(CommandKind::Run), kLate}};
               })),
      MakeCase("WriteReplyBadCrc", ok, ok,
               Faults([](F& f) { f.corruptCrc = {Nth(CommandKind::Write, 1)}; })),
      MakeCase("ReadBackReplyBadCrc", ok, ok,
               Faults([](F& f) { f.corruptCrc = {Nth(CommandKind::Verify, 3)}; })),
      MakeCase("EveryReadBackReplyBadCrc", verify, verify,
               Faults([](F& f) { f.corruptCrc = {Every(CommandKind::Verify)}; })),
      // One refused try is retried.
      MakeCase("WriteReplyLowercaseCrc", ok, ok,
               Faults([](F& f) { f.lowercaseCrc = {Nth(CommandKind::Write, 1)}; })),
      MakeCase("EveryReadBackLowercaseCrc", either, either,
               Faults([](F& f) { f.lowercaseCrc = {Every(CommandKind::Verify)}; })),
      MakeCase("NoiseBeforeEveryReply", ok, ok,
               Faults([](F& f) { f.noiseBefore = {sim::CommandSelector{}}; })),
      MakeCase("HandshakeRepliesOf30Bytes", ok, ok,
               Faults([](F& f) { f.handshakeFrameLength = 30; }), ImageKind::Pattern, false),
      MakeCase("StoredBitFlip", verify, verify, Faults([](F& f) {
                 f.storedBitFlips = {{1, 100, 3}};
               })),
      MakeCase("ReadBackBitFlip", verify, verify, Faults([](F& f) {
                 f.readbackBitFlips = {{3, 511, 7}};
               })),
      MakeCase("LowercaseReadBack", verify, verify,
               Faults([](F& f) { f.lowercaseReadback = true; })),
      MakeCase("WriteAcceptedOnFifthTry", ok, ok, Faults([](F& f) {
                 f.refusedWrites = {{1, 4}};
               })),
      MakeCase("WriteRefusedFiveTimes", program, program, Faults([](F& f) {
                 f.refusedWrites = {{1, 5}};
               })),
      MakeCase("HangUpAfterRunReply", ok, ok, Faults([](F& f) { f.hangUpAfterCommands = 12; })),
      // At 115200 baud every request and reply fits its window.
      MakeCase("SerialLinePace115200", ok, ok, Faults([](F& f) {
                 f.pacing.baud = 115200;
                 f.pacing.bitsPerByte = 11;
                 f.pacing.requests = true;
               })),
      // At 19200 baud a read-back reply streams for over half a second. TCP
      // ends the window at 300 ms; a serial link waits while bytes keep
      // coming, but any pause of a millisecond (a busy machine) ends it too.
      MakeCase("SerialLinePace19200", verify, either, Faults([](F& f) { f.pacing.baud = 19200; })),
      // A late read-back in a run of identical 0xFF blocks: unless the link is
      // brought back in step, every later block is compared with its
      // neighbour's reply and the corrupt last block is never compared itself.
      MakeCase("LateReadBackOverCorruptFfTail", verify, verify, Faults([](F& f) {
                 f.lateReply = {{Nth(CommandKind::Verify, 4), kLate}};
                 f.storedBitFlips = {{5, 0, 0}};
               }),
               ImageKind::FfTail),
      MakeCase("LateReadBackOverFfTail", ok, ok, Faults([](F& f) {
                 f.lateReply = {{Nth(CommandKind::Verify, 3), kLate}};
               }),
               ImageKind::FfTail),
      MakeCase("LateWriteReplyAndCorruptStoredBlock", verify, verify, Faults([](F& f) {
                 f.lateReply = {{Nth(CommandKind::Write, 1), kLate}};
                 f.storedBitFlips = {{4, 7, 1}};
               }),
               ImageKind::FfTail),
      MakeCase("NoiseBadCrcAndLostReadBack", ok, ok, Faults([](F& f) {
                 f.dropReply = {Nth(CommandKind::Verify, 1)};
                 f.corruptCrc = {Nth(CommandKind::Write, 3)};
                 f.noiseBefore = {Every(CommandKind::Verify)};
               })),
  };
}

std::vector<std::uint8_t> ImageOf(ImageKind kind) {
  if (kind == ImageKind::Pattern) {
    return PatternImage(3 * 512 + 100);  // and the six repeats: four blocks
  }
  std::vector<std::uint8_t> image = PatternImage(2 * 512);
  image.resize(6 * 512 - 6, 0xFF);  // the six repeats end the sixth block
  return image;
}

const char* ResultName(UpgradeResult result) {
  switch (result) {
    case UpgradeResult::UpgradeOk:
      return "UpgradeOk";
    case UpgradeResult::LinkNotOpened:
      return "LinkNotOpened";
    case UpgradeResult::ProgramFailed:
      return "ProgramFailed";
    case UpgradeResult::VerifyFailed:
      return "VerifyFailed";
    case UpgradeResult::Interrupted:
      return "Interrupted";
  }
  return "?";
}

class FaultRoad : public DeviceRoadBase,
                  public testing::WithParamInterface<std::tuple<sim::LinkType, FaultCase>> {
 protected:
  sim::LinkType Link() const override { return std::get<0>(GetParam()); }
  const FaultCase& Case() const { return std::get<1>(GetParam()); }
  Expect Expected() const { return Link() == sim::LinkType::Tcp ? Case().tcp : Case().pty; }

  // The state a connect would leave, without the connect.
  void LoadDirectly(const std::filesystem::path& file) {
    settings::TakeLinkControls(Controls(), state_.link);
    state_.deviceFamily = image::kDeviceFamily;
    ASSERT_EQ(
        image::LoadFirmwareImage(file, state_.deviceFamily, state_.blockTable, state_.blockCount),
        image::LoadResult::Loaded);
  }
};

TEST_P(FaultRoad, UpgradeOkOnlyWhenTheFlashHoldsTheImage) {
  Serve(Case().faults);
  const TempFirmware file(kHeader, ImageOf(Case().image));
  if (Case().viaConnect) {
    ASSERT_EQ(Connect(file.path()), upgrade::ConnectResult::Matched);
  } else {
    LoadDirectly(file.path());
  }
  ASSERT_GT(state_.blockCount, 0);
  log_.clear();

  const UpgradeResult result = Upgrade();
  SCOPED_TRACE(ResultName(result));
  RecordProperty("result", ResultName(result));
  const sim::Counters counters = emulator_->GetCounters();
  const bool flashHoldsImage = FlashHoldsImage();

  // The invariant.
  if (result == UpgradeResult::UpgradeOk || LastMessage() == Msg(msg::kUpgradeOk)) {
    EXPECT_TRUE(flashHoldsImage) << "\"Upgrade ok.\" over a flash that differs from the image";
  }
  if (counters.runs > 0) {
    EXPECT_TRUE(flashHoldsImage) << "the device was told to run an image it does not hold";
  }

  // What each outcome shows, and how far it got.
  switch (result) {
    case UpgradeResult::UpgradeOk:
      EXPECT_EQ(LastMessage(), Msg(msg::kUpgradeOk));
      EXPECT_EQ(counters.runs, 1U);
      break;
    case UpgradeResult::ProgramFailed:
      EXPECT_EQ(LastMessage(), Msg(msg::kProgramError));
      EXPECT_EQ(counters.verifies, 0U);
      EXPECT_EQ(counters.runs, 0U);
      break;
    case UpgradeResult::VerifyFailed:
      EXPECT_EQ(LastMessage(), Msg(msg::kVerifyError));
      EXPECT_EQ(counters.runs, 0U);
      break;
    case UpgradeResult::LinkNotOpened:
      ADD_FAILURE() << "the emulator's link did not open";
      break;
    case UpgradeResult::Interrupted:
      ADD_FAILURE() << "interrupted without a stop request";
      break;
  }
  EXPECT_EQ(Matching(log_, "finish").size(), 1U) << "the procedure ends once";

  switch (Expected()) {
    case Expect::Ok:
      EXPECT_EQ(result, UpgradeResult::UpgradeOk);
      break;
    case Expect::ProgramFailed:
      EXPECT_EQ(result, UpgradeResult::ProgramFailed);
      break;
    case Expect::VerifyFailed:
      EXPECT_EQ(result, UpgradeResult::VerifyFailed);
      break;
    case Expect::Either:
      break;
  }
}

std::string CaseName(const testing::TestParamInfo<std::tuple<sim::LinkType, FaultCase>>& info) {
  return std::string(std::get<0>(info.param) == sim::LinkType::Tcp ? "Tcp_" : "Pty_") +
         std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultRoad,
                         testing::Combine(testing::Values(sim::LinkType::Tcp, sim::LinkType::Pty),
                                          testing::ValuesIn(FaultCases())),
                         CaseName);

}  // namespace
}  // namespace ql::testing_support
