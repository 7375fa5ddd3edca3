// The emulator's side of the wire protocol: picking request frames out of
// the byte stream, choosing the commands a fault strikes, and what a faulty
// reply looks like to the utility's reply check.
#include <gtest/gtest.h>

#include "link/frame.h"
#include "link/reply_framer.h"
#include "sim/reply_faults.h"
#include "sim/reply_schedule.h"
#include "sim/request_framer.h"
#include "sim_test_util.h"

namespace ql::sim {
namespace {

using testing_support::Bytes;
using testing_support::RequestBytes;

std::vector<RequestFrame> FeedAll(RequestFramer& framer, const Bytes& bytes) {
  std::vector<RequestFrame> frames;
  for (const std::uint8_t b : bytes) {
    if (auto frame = framer.Feed(b)) {
      frames.push_back(std::move(*frame));
    }
  }
  return frames;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

TEST(RequestFramerTest, FindsFramesAndJudgesTheirCrc) {
  Bytes lowercaseCrc = RequestBytes("0001Zv0000");
  std::transform(lowercaseCrc.end() - 5, lowercaseCrc.end() - 1, lowercaseCrc.end() - 5,
                 [](std::uint8_t c) { return static_cast<std::uint8_t>(std::tolower(c)); });
  ASSERT_NE(lowercaseCrc, RequestBytes("0001Zv0000")) << "this CRC must have a letter in it";
  Bytes wrongCrc = RequestBytes("0001Zx5E2D");
  wrongCrc[wrongCrc.size() - 2] ^= 0x01;

  const struct {
    const char* what;
    Bytes stream;
    std::vector<std::pair<std::string, bool>> frames;  // payload, CRC right
  } cases[] = {
      {"plain frame", RequestBytes("0001Zx5E2D"), {{"0001Zx5E2D", true}}},
      {"empty payload", RequestBytes(""), {{"", true}}},
      {"noise before the frame",
       Concat({Bytes{'x', 0x0D, 0x04, 0x00, 0x02}, RequestBytes("0001Zx5E2D")}),
       {{"0001Zx5E2D", true}}},
      {"two frames back to back",
       Concat({RequestBytes("0001Zx5E2D"), RequestBytes("0001ZrC71A")}),
       {{"0001Zx5E2D", true}, {"0001ZrC71A", true}}},
      {"wrong CRC", wrongCrc, {{"0001Zx5E2D", false}}},
      {"lowercase CRC", lowercaseCrc, {{"0001Zv0000", false}}},
      {"a start byte restarts the frame",
       Concat({Bytes{0x01, 'j', 'u', 'n', 'k'}, RequestBytes("0001Zv0000")}),
       {{"0001Zv0000", true}}},
      {"no CR after the CRC",
       Concat({Bytes{0x01, 'a', 0x02, '1', '2', '3', '4', 'X'}, RequestBytes("0001Zv0000")}),
       {{"0001Zv0000", true}}},
  };
  for (const auto& c : cases) {
    RequestFramer framer;
    const auto frames = FeedAll(framer, c.stream);
    ASSERT_EQ(frames.size(), c.frames.size()) << c.what;
    for (std::size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i].payload, c.frames[i].first) << c.what;
      EXPECT_EQ(frames[i].crcOk, c.frames[i].second) << c.what;
    }
  }
}

TEST(RequestFramerTest, OverlongPayloadIsAbandonedAndTheNextFrameStillCounts) {
  RequestFramer framer;
  Bytes overlong(1 + link::kMaxPayload + 10, 'A');
  overlong[0] = 0x01;
  const auto frames = FeedAll(
      framer, Concat({overlong, {0x02, '0', '0', '0', '0', 0x0D}, RequestBytes("0001Zx5E2D")}));
  ASSERT_EQ(frames.size(), 1U);
  EXPECT_EQ(frames[0].payload, "0001Zx5E2D");
  EXPECT_EQ(framer.Abandoned(), 1U);

  const auto longest = FeedAll(framer, RequestBytes(std::string(link::kMaxPayload, 'B')));
  ASSERT_EQ(longest.size(), 1U);
  EXPECT_TRUE(longest[0].crcOk);
}

TEST(CommandSelectorTest, PicksTheNthCommandOverallOrOfAKindOrEveryOne) {
  const CommandRef secondWrite{.kind = CommandKind::Write, .number = 5, .kindNumber = 2};
  const struct {
    CommandSelector selector;
    bool matches;
  } cases[] = {
      {{.kind = std::nullopt, .nth = 5}, true},
      {{.kind = std::nullopt, .nth = 2}, false},
      {{.kind = CommandKind::Write, .nth = 2}, true},
      {{.kind = CommandKind::Write, .nth = 5}, false},
      {{.kind = CommandKind::Verify, .nth = 2}, false},
      {{.kind = CommandKind::Write, .nth = 0}, true},
      {{.kind = CommandKind::Handshake, .nth = 0}, false},
      {{.kind = std::nullopt, .nth = 0}, true},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].selector.Matches(secondWrite), cases[i].matches) << "case " << i;
  }
}

// What the utility's reply check makes of the bytes.
struct Seen {
  bool complete = false;
  bool accepted = false;
  std::string text;
};

Seen AsTheUtilitySeesIt(const Bytes& bytes) {
  link::ReplyFramer framer;
  framer.ClearBuffer();
  framer.ResetLength();
  for (const std::uint8_t b : bytes) {
    if (framer.Feed(b)) {
      return {.complete = true, .accepted = framer.CheckResponse(), .text = framer.ResponseText()};
    }
  }
  return {};
}

TEST(ReplyFaultsTest, EachFaultIsSeenByTheReplyCheckAsOnTheWire) {
  const CommandRef verify{.kind = CommandKind::Verify, .number = 1, .kindNumber = 1};
  const std::string body = "0001ZvFFFF";
  const auto clean = link::BuildReply(body);
  const std::string cleanText(clean.begin(), clean.end());
  const auto crc = cleanText.substr(cleanText.size() - 5, 4);
  ASSERT_TRUE(std::any_of(crc.begin(), crc.end(), [](char c) { return c >= 'A'; }))
      << "need a letter in " << crc;

  const auto only = [&verify](std::vector<CommandSelector> FaultConfig::*field) {
    FaultConfig faults;
    faults.*field = {CommandSelector{.kind = verify.kind, .nth = 1}};
    return faults;
  };
  const struct {
    const char* what;
    FaultConfig faults;
    bool accepted;
  } cases[] = {
      {"no fault", FaultConfig{}, true},
      {"wrong CRC", only(&FaultConfig::corruptCrc), false},
      {"lowercase CRC", only(&FaultConfig::lowercaseCrc), false},
      {"noise before the frame", only(&FaultConfig::noiseBefore), true},
  };
  for (const auto& c : cases) {
    const Transmission out = ReplyFaults(c.faults).Transmit(verify, body);
    const Seen seen = AsTheUtilitySeesIt(out.bytes);
    ASSERT_TRUE(seen.complete) << c.what;
    EXPECT_EQ(seen.accepted, c.accepted) << c.what;
    EXPECT_EQ(seen.text.size(), clean.size()) << c.what;
    EXPECT_EQ(seen.text.substr(0, 11), cleanText.substr(0, 11)) << c.what;
  }
}

TEST(ReplyFaultsTest, DuplicatedReplyAndLostLastByte) {
  const CommandRef verify{.kind = CommandKind::Verify, .number = 2, .kindNumber = 1};
  const auto clean = link::BuildReply("0001ZvFFFF");
  FaultConfig faults;
  faults.duplicateReply = {{.kind = CommandKind::Verify, .nth = 1}};
  faults.noiseBefore = {{.kind = CommandKind::Verify, .nth = 1}};
  faults.noise = "~";
  // Noise once, then the frame twice.
  std::vector<std::uint8_t> twice = {'~'};
  twice.insert(twice.end(), clean.begin(), clean.end());
  twice.insert(twice.end(), clean.begin(), clean.end());
  EXPECT_EQ(ReplyFaults(faults).Transmit(verify, "0001ZvFFFF").bytes, twice);

  FaultConfig cut;
  cut.dropLastByte = {{.kind = CommandKind::Verify, .nth = 0}};
  const Transmission out = ReplyFaults(cut).Transmit(verify, "0001ZvFFFF");
  EXPECT_EQ(out.bytes, std::vector<std::uint8_t>(clean.begin(), clean.end() - 1));
  EXPECT_FALSE(AsTheUtilitySeesIt(out.bytes).complete);
  EXPECT_EQ(out.faults, "last byte lost");
  const CommandRef write{.kind = CommandKind::Write, .number = 3, .kindNumber = 1};
  EXPECT_EQ(ReplyFaults(cut).Transmit(write, "x").bytes, link::BuildReply("x"));
}

TEST(ReplyFaultsTest, RandomFaultsStrikeReadBacksAtTheirRateAndRepeatWithTheSeed) {
  FaultConfig faults;
  faults.random = {.perMille = 200, .seed = 7};
  const ReplyFaults sevens(faults);
  faults.random.seed = 8;
  const ReplyFaults eights(faults);
  int struck = 0;
  int differ = 0;
  for (std::size_t n = 1; n <= 2000; ++n) {
    const CommandRef verify{.kind = CommandKind::Verify, .number = n, .kindNumber = n};
    const Transmission a = sevens.Transmit(verify, "0001ZvFFFF");
    EXPECT_EQ(a.bytes, sevens.Transmit(verify, "0001ZvFFFF").bytes) << "same seed, same fault";
    EXPECT_EQ(a.delay, sevens.Transmit(verify, "0001ZvFFFF").delay);
    struck += !a.faults.empty();
    differ += a.faults != eights.Transmit(verify, "0001ZvFFFF").faults;
    const CommandRef write{.kind = CommandKind::Write, .number = n, .kindNumber = n};
    EXPECT_TRUE(sevens.Transmit(write, "x").faults.empty()) << "only read-backs are struck";
  }
  EXPECT_GT(struck, 300);
  EXPECT_LT(struck, 500);
  EXPECT_GT(differ, 300) << "another seed, other faults";
}

TEST(ReplyFaultsTest, DroppedAndLateReplies) {
  const CommandRef write3{.kind = CommandKind::Write, .number = 4, .kindNumber = 3};
  FaultConfig faults;
  faults.lateReply = {
      {.when = {.kind = CommandKind::Write, .nth = 0}, .delay = std::chrono::milliseconds(400)},
      {.when = {.kind = std::nullopt, .nth = 4}, .delay = std::chrono::milliseconds(900)}};
  EXPECT_EQ(ReplyFaults(faults).Transmit(write3, "x").delay, std::chrono::milliseconds(900))
      << "the longest delay";
  EXPECT_TRUE(ReplyFaults(faults).Transmit(write3, std::nullopt).bytes.empty())
      << "no body, nothing to send";

  faults.dropReply = {{.kind = CommandKind::Write, .nth = 3}};
  EXPECT_TRUE(ReplyFaults(faults).Transmit(write3, "x").bytes.empty());
  const CommandRef write4{.kind = CommandKind::Write, .number = 5, .kindNumber = 4};
  EXPECT_EQ(ReplyFaults(faults).Transmit(write4, "x").bytes, link::BuildReply("x"));
}

TEST(ReplyFaultsTest, GlitchByteAndStaleCopiesOfThePreviousReply) {
  const CommandRef verify{.kind = CommandKind::Verify, .number = 4, .kindNumber = 2};
  const Bytes previous = link::BuildReply("0001Zp0200");
  const Bytes frame = link::BuildReply("0001ZvFFFF");
  const CommandSelector verifies{.kind = CommandKind::Verify, .nth = 0};
  const auto with = [&verifies](std::vector<CommandSelector> FaultConfig::*field) {
    FaultConfig faults;
    faults.*field = {verifies};
    faults.glitchByte = 0xFF;
    return faults;
  };
  const struct {
    const char* what;
    FaultConfig faults;
    Bytes previous;
    Bytes bytes;
  } cases[] = {
      {"glitch byte", with(&FaultConfig::glitchBefore), previous, Concat({{0xFF}, frame})},
      {"stale copy before", with(&FaultConfig::staleBefore), previous, Concat({previous, frame})},
      {"stale copy after", with(&FaultConfig::staleAfter), previous, Concat({frame, previous})},
      {"no reply before it to repeat", with(&FaultConfig::staleBefore), {}, frame},
  };
  for (const auto& c : cases) {
    const Transmission out = ReplyFaults(c.faults).Transmit(verify, "0001ZvFFFF", c.previous);
    EXPECT_EQ(out.bytes, c.bytes) << c.what;
    EXPECT_EQ(out.frame, frame) << c.what << ": the frame a later stale copy repeats";
  }
  // The utility's framing takes the last frame before a CR: the glitch is
  // overwritten by the start byte, and a stale copy before the frame is
  // complete on its own, so it ends the exchange first.
  EXPECT_TRUE(AsTheUtilitySeesIt(cases[0].bytes).accepted);
  EXPECT_EQ(AsTheUtilitySeesIt(cases[1].bytes).text, std::string(previous.begin(), previous.end()));

  FaultConfig dropped = with(&FaultConfig::dropReply);
  dropped.staleAfter = {verifies};
  const Transmission lost = ReplyFaults(dropped).Transmit(verify, "0001ZvFFFF", previous);
  EXPECT_TRUE(lost.bytes.empty()) << "a lost reply takes its stale copy with it";
  EXPECT_TRUE(lost.frame.empty()) << "and is no reply to repeat later";
}

TEST(ReplyFaultsTest, PauseFallsOnTheChosenByteOfTheFrameItself) {
  const CommandRef verify{.kind = CommandKind::Verify, .number = 1, .kindNumber = 1};
  const Bytes frame = link::BuildReply("0001ZvFFFF");
  const auto pauseAt = [&verify](std::optional<std::size_t> at, bool noise) {
    FaultConfig faults;
    faults.replyPauses = {{.when = {}, .hold = std::chrono::microseconds(3000), .at = at}};
    if (noise) {
      faults.noiseBefore = {{}};
      faults.noise = "~~~";
    }
    const Transmission out = ReplyFaults(faults).Transmit(verify, "0001ZvFFFF");
    EXPECT_EQ(out.pause, std::chrono::microseconds(3000));
    return out.pauseAt;
  };
  EXPECT_EQ(pauseAt(5, false), 5U);
  EXPECT_EQ(pauseAt(5, true), 8U) << "counted from the frame's start byte, not the noise";
  EXPECT_EQ(pauseAt(std::nullopt, false), frame.size() / 2);
  EXPECT_EQ(pauseAt(1400, false), frame.size() - 1) << "past the frame: its last byte";
}

TEST(ReplyFaultsTest, EchoTakesEveryFrameOrTheSelectedCommands) {
  const CommandRef secondVerify{.kind = CommandKind::Verify, .number = 5, .kindNumber = 2};
  const CommandRef write{.kind = CommandKind::Write, .number = 4, .kindNumber = 1};
  const auto echoes = [](std::vector<CommandSelector> selectors,
                         const std::optional<CommandRef>& command) {
    FaultConfig faults;
    faults.echoRequest = std::move(selectors);
    return ReplyFaults(faults).Echoes(command);
  };
  const CommandSelector all{};
  const CommandSelector verifies{.kind = CommandKind::Verify, .nth = 0};
  EXPECT_FALSE(echoes({}, secondVerify));
  EXPECT_TRUE(echoes({all}, secondVerify));
  EXPECT_TRUE(echoes({all}, std::nullopt)) << "a frame the device does not number";
  EXPECT_TRUE(echoes({verifies}, secondVerify));
  EXPECT_FALSE(echoes({verifies}, write));
  EXPECT_FALSE(echoes({verifies}, std::nullopt));
  EXPECT_TRUE(echoes({{.kind = std::nullopt, .nth = 5}}, secondVerify));
  EXPECT_FALSE(echoes({{.kind = std::nullopt, .nth = 5}}, std::nullopt));
}

TEST(ReplyScheduleTest, PauseHoldsOneByteAndEveryByteAfterIt) {
  using std::chrono::microseconds;
  const ReplySchedule::Time t0{};
  const ReplySchedule paced{.start = t0,
                            .byteTime = microseconds(500),
                            .length = 10,
                            .pauseAt = 4,
                            .pause = microseconds(3000)};
  EXPECT_EQ(paced.Due(0), t0 + microseconds(500));
  EXPECT_EQ(paced.Due(3), t0 + microseconds(2000));
  EXPECT_EQ(paced.Due(4), t0 + microseconds(5500)) << "held back by the pause";
  EXPECT_EQ(paced.Due(9), t0 + microseconds(8000)) << "the rest at the line rate after it";
  const struct {
    int us;
    std::size_t due;
  } cases[] = {{0, 0},    {499, 0},  {500, 1},   {2000, 4},
               {5499, 4}, {5500, 5}, {8000, 10}, {99999, 10}};
  for (const auto& c : cases) {
    EXPECT_EQ(paced.DueCount(t0 + microseconds(c.us)), c.due) << c.us << " us";
  }

  ReplySchedule unpaced = paced;
  unpaced.byteTime = {};
  EXPECT_EQ(unpaced.DueCount(t0), 4U) << "unpaced: up to the held byte at once";
  EXPECT_EQ(unpaced.DueCount(t0 + microseconds(2999)), 4U);
  EXPECT_EQ(unpaced.DueCount(t0 + microseconds(3000)), 10U);
  unpaced.pause = {};
  EXPECT_EQ(unpaced.DueCount(t0), 10U);
}

}  // namespace
}  // namespace ql::sim
