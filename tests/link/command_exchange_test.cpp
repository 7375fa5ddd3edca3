// The command exchange on the virtual clock: what is sent, which replies are
// taken, where each link kind ends the reply window (on a serial link by the
// line's rate, and never past its bound), and that every wait is a real wait
// on the link rather than a spin.
#include "link/command_exchange.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "link/frame.h"
#include "link/serial_reply_wait.h"
#include "support/scripted_transport.h"
#include "support/virtual_clock.h"

namespace ql::settings {
// Names the link kind in test output.
void PrintTo(LinkKind kind, std::ostream* os) {
  *os << (kind == LinkKind::Tcp ? "tcp" : "serial");
}
}  // namespace ql::settings

namespace ql::link {
namespace {

using settings::LinkKind;
using testing_support::ArriveAfter;
using testing_support::ScriptedTransport;
using testing_support::StreamAfter;
using testing_support::StreamAfterUs;
using testing_support::VirtualClock;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kStart = 5000;
// About one byte time at 19200 baud.
constexpr std::uint32_t kSerialByteUs = 520;

const char* KindName(LinkKind kind) {
  return kind == LinkKind::Tcp ? "tcp" : "serial";
}

std::string Text(const Bytes& b) {
  return {b.begin(), b.end()};
}

Bytes WithWrongCrc(Bytes frame) {
  frame[frame.size() - 2] = frame[frame.size() - 2] == '0' ? '1' : '0';
  return frame;
}

struct Bench {
  explicit Bench(LinkKind kind, std::uint32_t startMs = kStart)
      : clock(startMs), link(clock, kind), exchange(link, clock) {}

  std::uint32_t Elapsed() { return ElapsedMs(sent, clock.NowMs()); }

  bool Exchange(std::string_view payload = "0001Zx5E2D") {
    sent = clock.NowMs();
    return exchange.ExchangeCommand(payload);
  }

  VirtualClock clock;
  ScriptedTransport link;
  CommandExchange exchange;
  std::uint32_t sent = 0;
};

class BothKinds : public ::testing::TestWithParam<LinkKind> {};
INSTANTIATE_TEST_SUITE_P(Link, BothKinds, ::testing::Values(LinkKind::Serial, LinkKind::Tcp),
                         [](const auto& info) { return KindName(info.param); });

TEST_P(BothKinds, SendsOneFramedRequestAndAcceptsAGoodReply) {
  Bench b(GetParam());
  const Bytes reply = BuildReply("0001ZxQL480TX-V5  1.02");
  b.link.Schedule(ArriveAfter(2, reply));
  EXPECT_TRUE(b.Exchange("0001Zx5E2D"));
  ASSERT_EQ(b.link.Writes().size(), 1u);
  EXPECT_EQ(b.link.Writes()[0], BuildRequest("0001Zx5E2D"));
  EXPECT_EQ(b.exchange.ResponseText(), Text(reply));
  EXPECT_EQ(b.exchange.ReplyLength(), 29);
  EXPECT_EQ(b.Elapsed(), 2u);
}

TEST_P(BothKinds, PayloadLimit) {
  Bench b(GetParam());
  EXPECT_FALSE(b.Exchange(std::string(kMaxPayload + 1, 'A')));
  EXPECT_TRUE(b.link.Writes().empty());
  EXPECT_EQ(b.Elapsed(), 0u) << "an oversized payload must not wait for a reply";

  b.Exchange(std::string(kMaxPayload, 'A'));
  ASSERT_EQ(b.link.Writes().size(), 1u);
  EXPECT_EQ(b.link.Writes()[0].size(), kFrameBufferSize);
}

TEST_P(BothKinds, WindowEdges) {
  struct Case {
    std::uint32_t replyAfterMs;
    bool accepted;
    std::uint32_t endsAtMs;
  };
  const Case cases[] = {{0, true, 0}, {299, true, 299}, {300, true, 300}, {301, false, 301}};
  for (const auto& c : cases) {
    SCOPED_TRACE("reply after " + std::to_string(c.replyAfterMs) + " ms");
    Bench b(GetParam());
    b.link.Schedule(ArriveAfter(c.replyAfterMs, BuildReply("0001ZxOK")));
    EXPECT_EQ(b.Exchange(), c.accepted);
    EXPECT_EQ(b.Elapsed(), c.endsAtMs);
  }
}

TEST_P(BothKinds, SilentLinkIsOneWaitOfTheWholeWindow) {
  Bench b(GetParam());
  EXPECT_FALSE(b.Exchange());
  EXPECT_EQ(b.Elapsed(), 301u);
  ASSERT_EQ(b.link.Waits().size(), 1u);
  EXPECT_EQ(b.link.Waits()[0], std::chrono::milliseconds(301));
}

TEST_P(BothKinds, WaitsAreTheRestOfTheWindow) {
  Bench b(GetParam());
  // A burst of noise at 100 ms, then nothing.
  b.link.Schedule(ArriveAfter(100, "xx"));
  EXPECT_FALSE(b.Exchange());
  EXPECT_EQ(b.Elapsed(), 301u);
  // Serial: the first byte ends the 301 ms wait, the second is read at once
  // (asking for the rest of the window), then one last wait. TCP reads the
  // burst whole, then waits out the rest.
  const auto& waits = b.link.Waits();
  ASSERT_FALSE(waits.empty());
  EXPECT_EQ(waits.front(), std::chrono::milliseconds(301));
  EXPECT_EQ(waits.back(), std::chrono::milliseconds(201));
  EXPECT_EQ(waits.size(), GetParam() == LinkKind::Tcp ? 2u : 3u);
}

TEST_P(BothKinds, CounterWrapDuringTheWait) {
  struct Case {
    std::uint32_t replyAfterMs;
    bool accepted;
    std::uint32_t endsAtMs;
  };
  const Case cases[] = {{250, true, 250}, {300, true, 300}, {400, false, 301}};
  for (const auto& c : cases) {
    SCOPED_TRACE("reply after " + std::to_string(c.replyAfterMs) + " ms");
    // 100 ms before the counter wraps to 0.
    Bench b(GetParam(), 0xFFFFFFFFu - 99);
    b.link.Schedule(ArriveAfter(c.replyAfterMs, BuildReply("0001ZxOK")));
    EXPECT_EQ(b.Exchange(), c.accepted);
    EXPECT_EQ(b.Elapsed(), c.endsAtMs);
    EXPECT_LT(b.clock.NowMs(), 1000u) << "the counter should have wrapped";
  }
}

TEST_P(BothKinds, WrongCrcEndsAtOnceWithoutWaitingForAGoodReply) {
  Bench b(GetParam());
  const Bytes wrong = WithWrongCrc(BuildReply("0001ZxOK"));
  b.link.Schedule(ArriveAfter(50, wrong));
  b.link.Schedule(ArriveAfter(60, BuildReply("0001ZxOK")));
  EXPECT_FALSE(b.Exchange());
  EXPECT_EQ(b.Elapsed(), 50u);
  EXPECT_EQ(b.exchange.ResponseText(), Text(wrong));
}

TEST_P(BothKinds, LateReplyIsTakenByTheNextExchange) {
  Bench b(GetParam());
  const Bytes late = BuildReply("0001ZxLATE");
  b.link.Schedule(ArriveAfter(350, late));
  EXPECT_FALSE(b.Exchange("0001Zx5E2D"));
  EXPECT_EQ(b.Elapsed(), 301u);
  EXPECT_EQ(b.exchange.ResponseText(), "") << "a time-out leaves the text alone";

  EXPECT_TRUE(b.Exchange("0001Zv0000"));
  EXPECT_EQ(b.Elapsed(), 49u);
  EXPECT_EQ(b.exchange.ResponseText(), Text(late));
  EXPECT_EQ(b.link.WrittenPayloads(), (std::vector<std::string>{"0001Zx5E2D", "0001Zv0000"}));
}

TEST_P(BothKinds, TimeOutKeepsTheLastTextAndCountsThePartialReply) {
  Bench b(GetParam());
  const Bytes first = BuildReply("0001ZxFIRST");
  b.link.Schedule(ArriveAfter(5, first));
  ASSERT_TRUE(b.Exchange());

  b.link.Schedule(ArriveAfter(310,
                              "\x03"
                              "0001Zx"));  // started, never finished
  b.link.Schedule(ArriveAfter(350, "junk"));
  EXPECT_FALSE(b.Exchange());
  EXPECT_FALSE(b.Exchange());
  EXPECT_EQ(b.exchange.ResponseText(), Text(first));
  // The second wait found the partial reply and the junk after it.
  EXPECT_EQ(b.exchange.ReplyLength(), 11);
}

TEST_P(BothKinds, NoiseBeforeTheStartByteIsOverwritten) {
  Bench b(GetParam());
  const Bytes reply = BuildReply("0001ZxOK");
  b.link.Schedule(ArriveAfter(10, "\r\x04garbage\r"));
  b.link.Schedule(ArriveAfter(20, reply));
  EXPECT_TRUE(b.Exchange());
  EXPECT_EQ(b.exchange.ResponseText(), Text(reply));
}

TEST(ExchangeSerial, LongReplyStreamingPastTheWindowIsNotCutOff) {
  // A block read-back of 1037 bytes takes about 540 ms at 19200 baud; it
  // starts at 100 ms and is still arriving when 300 ms have passed.
  Bench b(LinkKind::Serial);
  const Bytes reply = BuildReply("0001Zv" + std::string(1024, 'F'));
  b.link.Schedule(StreamAfter(100, reply, kSerialByteUs));
  EXPECT_TRUE(b.Exchange());
  EXPECT_EQ(b.exchange.ReplyLength(), 1037);
  EXPECT_EQ(b.Elapsed(), 100u + 1036 * kSerialByteUs / 1000);
}

// Character times of the line settings the tests use.
constexpr auto k921600n81 = CharacterTimeAt(921600, 10);
constexpr auto k115200e81 = CharacterTimeAt(115200, 11);
constexpr auto k38400e81 = CharacterTimeAt(38400, 11);
constexpr auto k19200e81 = CharacterTimeAt(19200, 11);
constexpr auto k9600e81 = CharacterTimeAt(9600, 11);
constexpr auto k4800e81 = CharacterTimeAt(4800, 11);
constexpr auto k2400e81 = CharacterTimeAt(2400, 11);
constexpr auto k1200e81 = CharacterTimeAt(1200, 11);
constexpr auto kNoLineRate = std::chrono::nanoseconds::zero();

// One character time in whole microseconds, rounded up: bytes this far apart
// are as close as the line allows.
std::uint32_t SpacingUs(std::chrono::nanoseconds characterTime) {
  return static_cast<std::uint32_t>(
      std::chrono::ceil<std::chrono::microseconds>(characterTime).count());
}

TEST(ExchangeSerial, QuietLineAfterTheWindowFollowsTheLineRate) {
  // Bytes without a frame from 250 ms until about 349.5 ms, a gap, four more
  // bytes at once, then nothing. The wait ends once the line has been quiet
  // for the larger of 1 ms and three character times.
  struct Case {
    const char* name;
    std::chrono::nanoseconds characterTime;
    std::uint32_t spacingUs;
    std::uint32_t count;
    std::uint32_t gapUs;
    std::uint32_t endsAtMs;
    std::size_t leftOver;
  };
  const Case cases[] = {
      // Three characters take under 1 ms: a 2 ms pause is quiet.
      {"921600 8N1, 2 ms gap", k921600n81, 500, 200, 2000, 350, 4},
      {"115200 8E1, 2 ms gap", k115200e81, 500, 200, 2000, 350, 4},
      {"38400 8E1, 2 ms gap", k38400e81, 500, 200, 2000, 350, 4},
      {"no line rate, 2 ms gap", kNoLineRate, 500, 200, 2000, 350, 4},
      // An adapter that hands over bursts 4 ms apart at 115200 is taken
      // for a quiet line too: it has to run at low latency.
      {"115200 8E1, 4 ms burst gap", k115200e81, 500, 200, 4000, 350, 4},
      // 19200: quiet is 1.72 ms. A 1.5 ms gap is not quiet (it used to be).
      {"19200 8E1, 1.5 ms gap", k19200e81, 573, 175, 1500, 352, 0},
      {"19200 8E1, 2 ms gap", k19200e81, 573, 175, 2000, 351, 4},
      // 9600: quiet is 3.44 ms, three characters.
      {"9600 8E1, 3 ms gap", k9600e81, 1146, 88, 3000, 356, 0},
      {"9600 8E1, 4 ms gap", k9600e81, 1146, 88, 4000, 353, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b(LinkKind::Serial);
    b.link.SetCharacterTime(c.characterTime);
    const std::uint64_t lastUs = 250'000 + std::uint64_t{c.count - 1} * c.spacingUs;
    b.link.Schedule(StreamAfter(250, Bytes(c.count, 'A'), c.spacingUs));
    b.link.Schedule(StreamAfterUs(lastUs + c.gapUs, Bytes(4, 'A')));
    EXPECT_FALSE(b.Exchange());
    EXPECT_EQ(b.Elapsed(), c.endsAtMs);
    EXPECT_EQ(b.link.Pending(), c.leftOver);
  }
}

TEST(ExchangeSerial, SilentLineEndsWithTheWindowAtEveryRate) {
  for (const auto time : {kNoLineRate, k921600n81, k19200e81, k9600e81, k1200e81}) {
    SCOPED_TRACE(time.count());
    Bench b(LinkKind::Serial);
    b.link.SetCharacterTime(time);
    EXPECT_FALSE(b.Exchange());
    EXPECT_EQ(b.Elapsed(), 301u);
    EXPECT_EQ(b.link.Waits().size(), 1u);
  }
}

TEST(ExchangeSerial, BlockReadBackAtLowRatesIsReceivedWhole) {
  // 1037 bytes from 100 ms on: at 9600 baud and below one character lasts
  // more than a millisecond, and the reply goes on long past 300 ms.
  const Bytes reply = BuildReply("0001Zv" + std::string(1024, 'F'));
  for (const auto time : {k9600e81, k4800e81, k2400e81, k1200e81}) {
    SCOPED_TRACE(time.count());
    Bench b(LinkKind::Serial);
    b.link.SetCharacterTime(time);
    const std::uint32_t spacingUs = SpacingUs(time);
    b.link.Schedule(StreamAfter(100, reply, spacingUs));
    EXPECT_TRUE(b.Exchange());
    EXPECT_EQ(b.exchange.ReplyLength(), 1037);
    EXPECT_EQ(b.Elapsed(), 100u + 1036 * spacingUs / 1000);
  }
}

TEST(ExchangeSerial, OutsideAFrameWithoutTheCharacterTimeTheFirstGapEndsTheWait) {
  // Bytes that begin no frame, trickling in at 4800 baud and judged by the
  // 1 ms rule alone: the first gap between two of them after 300 ms ends the
  // wait. Inside a frame the same gaps would not.
  Bench b(LinkKind::Serial);
  b.link.SetCharacterTime(kNoLineRate);
  b.link.Schedule(StreamAfter(100, Bytes(1000, 'F'), SpacingUs(k4800e81)));
  EXPECT_FALSE(b.Exchange());
  EXPECT_LE(b.Elapsed(), 303u);
  EXPECT_GT(b.link.Pending(), 800u);
}

TEST(ExchangeSerial, AdapterBurstsAreNotCutOff) {
  // A USB adapter at its lowest latency hands over, once a millisecond,
  // whatever has come in on the line: bursts of a few bytes with gaps of 1 ms
  // (19200 baud) up to 5 ms (2400 baud).
  const Bytes reply = BuildReply("0001Zv" + std::string(1024, 'F'));
  struct Case {
    const char* name;
    std::chrono::nanoseconds characterTime;
    bool whole;
  };
  const Case cases[] = {
      {"19200 8E1", k19200e81, true},
      {"9600 8E1", k9600e81, true},
      {"4800 8E1", k4800e81, true},
      {"2400 8E1", k2400e81, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b(LinkKind::Serial);
    b.link.SetCharacterTime(c.characterTime);
    const auto lineTime = c.characterTime == kNoLineRate ? k19200e81 : c.characterTime;
    // Byte i is complete on the line at 100 ms + (i + 1) character times and
    // handed over at the next whole millisecond.
    std::uint32_t lastTick = 0;
    for (std::size_t i = 0; i < reply.size(); ++i) {
      const auto onLine = std::chrono::milliseconds(100) + static_cast<long>(i + 1) * lineTime;
      const auto tick =
          static_cast<std::uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(onLine).count());
      b.link.Schedule(ArriveAfter(tick, Bytes{reply[i]}));
      lastTick = tick;
    }
    EXPECT_EQ(b.Exchange(), c.whole);
    if (c.whole) {
      EXPECT_EQ(b.exchange.ReplyLength(), 1037);
      EXPECT_EQ(b.Elapsed(), lastTick);
    } else {
      EXPECT_LE(b.Elapsed(), 302u);
    }
  }
}

// The longest a serial wait may last: 300 ms, the line time of 1500 bytes
// (rounded up to the millisecond), 100 ms.
struct BoundCase {
  const char* name;
  std::chrono::nanoseconds characterTime;
  std::uint32_t spacingUs;
  std::uint32_t boundMs;
};
const BoundCase kBoundCases[] = {
    {"no line rate", kNoLineRate, 500, 400},
    {"921600 8N1", k921600n81, 500, 300 + 17 + 100},
    {"19200 8E1", k19200e81, 573, 300 + 860 + 100},
    {"9600 8E1", k9600e81, 1146, 300 + 1719 + 100},
};

TEST(ExchangeSerial, DeviceThatNeverPausesEndsAtTheBound) {
  for (const auto& c : kBoundCases) {
    SCOPED_TRACE(c.name);
    Bench b(LinkKind::Serial);
    b.link.SetCharacterTime(c.characterTime);
    // Noise, a byte each spacing, for far longer than any bound; it
    // begins before the send and goes on after the wait.
    const std::uint32_t count = 3 * c.boundMs * 1000 / c.spacingUs;
    b.link.Schedule(StreamAfter(0, Bytes(count, 'A'), c.spacingUs));
    EXPECT_FALSE(b.Exchange());
    EXPECT_EQ(b.Elapsed(), c.boundMs);
    EXPECT_GT(b.link.Pending(), 0u);

    // The bound counts from each exchange's own send.
    EXPECT_FALSE(b.Exchange());
    EXPECT_EQ(b.Elapsed(), c.boundMs);
  }
}

TEST(ExchangeSerial, FrameInAnEndlessStreamIsTakenBeforeTheBoundOnly) {
  for (const auto& c : kBoundCases) {
    SCOPED_TRACE(c.name);
    const Bytes reply = BuildReply("0001ZxOK");
    const std::uint32_t replyUs = static_cast<std::uint32_t>(reply.size()) * c.spacingUs;
    // Noise, then a reply that ends 1 ms before the bound, then more noise:
    // taken. The same reply ending 1 ms after the bound: not.
    for (const bool inTime : {true, false}) {
      SCOPED_TRACE(inTime ? "ends before the bound" : "ends after the bound");
      Bench b(LinkKind::Serial);
      b.link.SetCharacterTime(c.characterTime);
      const std::uint64_t replyEndUs = std::uint64_t{c.boundMs} * 1000 + (inTime ? -1000 : 1000);
      const std::uint64_t replyStartUs = replyEndUs - replyUs + c.spacingUs;
      Bytes all(replyStartUs / c.spacingUs, 'A');
      all.insert(all.end(), reply.begin(), reply.end());
      all.insert(all.end(), 4000, 'A');
      b.link.Schedule(StreamAfterUs(replyStartUs % c.spacingUs, all, c.spacingUs));
      EXPECT_EQ(b.Exchange(), inTime);
      EXPECT_EQ(b.Elapsed(), inTime ? c.boundMs - 1 : c.boundMs);
    }
  }
}

TEST(ExchangeSerial, BytesAfterTheFrameStayForTheNextExchange) {
  Bench b(LinkKind::Serial);
  const Bytes reply = BuildReply("0001ZxOK");
  Bytes both = reply;
  const Bytes next = BuildReply("0001ZxNEXT");
  both.insert(both.end(), next.begin(), next.end());
  b.link.Schedule(ArriveAfter(10, both));
  EXPECT_TRUE(b.Exchange());
  EXPECT_EQ(b.link.Pending(), next.size());
  EXPECT_TRUE(b.Exchange());
  EXPECT_EQ(b.exchange.ResponseText(), Text(next));
}

TEST(ExchangeTcp, WindowEndsAtTheFirstCheckAfter300MsWhateverIsArriving) {
  Bench b(LinkKind::Tcp);
  const Bytes reply = BuildReply("0001Zv" + std::string(1024, 'F'));
  b.link.Schedule(StreamAfter(100, reply, kSerialByteUs));
  EXPECT_FALSE(b.Exchange());
  EXPECT_EQ(b.Elapsed(), 301u);
  EXPECT_GT(b.link.Pending(), 0u);
  // One read per byte as they trickle in, none more.
  EXPECT_LE(b.link.Waits().size(), 1u + (201 * 1000) / kSerialByteUs + 2);
}

TEST(ExchangeTcp, BytesAfterTheCompletingCrInTheSameReadAreDropped) {
  Bench b(LinkKind::Tcp);
  Bytes both = BuildReply("0001ZxOK");
  const Bytes next = BuildReply("0001ZxNEXT");
  both.insert(both.end(), next.begin(), next.end());
  b.link.Schedule(ArriveAfter(10, both));
  EXPECT_TRUE(b.Exchange());
  EXPECT_EQ(b.link.Pending(), 0u);
  EXPECT_FALSE(b.Exchange()) << "the second frame was in the same read and is gone";
}

TEST(ExchangeTcp, BytesAfterTheCompletingCrAreNotedAsDropped) {
  Bench b(LinkKind::Tcp);
  Bytes both = BuildReply("0001ZxOK");
  const Bytes next = BuildReply("0001ZxNEXT");
  both.insert(both.end(), next.begin(), next.begin() + 5);
  b.link.Schedule(ArriveAfter(10, both));
  EXPECT_TRUE(b.Exchange());
  EXPECT_EQ(b.exchange.LastNotes().droppedBytes, 5u);
  EXPECT_EQ(b.exchange.LastNotes().strayBytes, 0u);
  EXPECT_TRUE(b.exchange.LastNotes().Disturbed());
}

TEST(ExchangeSerial, BytesAfterTheCompletingCrStayWaiting) {
  Bench b(LinkKind::Serial);
  Bytes both = BuildReply("0001ZxOK");
  const Bytes next = BuildReply("0001ZxNEXT");
  both.insert(both.end(), next.begin(), next.end());
  b.link.Schedule(ArriveAfter(10, both));
  EXPECT_FALSE(b.exchange.InputWaiting());
  EXPECT_TRUE(b.Exchange());
  EXPECT_FALSE(b.exchange.LastNotes().Disturbed());
  EXPECT_TRUE(b.exchange.InputWaiting());
}

// What an exchange notes about the bytes around its frame: the signs that
// replies may no longer answer the requests they follow.
TEST_P(BothKinds, NotesBytesThatAreNotPartOfTheFrame) {
  struct Case {
    const char* name;
    Bytes arriving;
    bool accepted;
    std::size_t stray;
  };
  const Bytes reply = BuildReply("0001ZvOK");
  Bytes noisy = {'x', 'y', '\r'};
  noisy.insert(noisy.end(), reply.begin(), reply.end());
  // A reply whose CR was lost, then the next one: its 0x03 restarts the frame.
  Bytes restarted(reply.begin(), reply.end() - 1);
  restarted.insert(restarted.end(), reply.begin(), reply.end());
  // The tail of a reply cut short, then a whole one.
  Bytes tail(reply.begin() + 4, reply.end());
  tail.insert(tail.end(), reply.begin(), reply.end());
  const Bytes headOnly(reply.begin(), reply.begin() + 6);
  const std::vector<Case> cases = {
      {"clean", reply, true, 0},
      {"noise before", noisy, true, 3},
      {"restarted frame", restarted, true, reply.size() - 1},
      {"tail of a cut reply", tail, true, reply.size() - 4},
      {"no frame at all", headOnly, false, headOnly.size()},
  };
  for (const auto& c : cases) {
    Bench b(GetParam());
    b.link.Schedule(ArriveAfter(5, c.arriving));
    EXPECT_EQ(b.Exchange(), c.accepted) << c.name;
    EXPECT_EQ(b.exchange.LastNotes().strayBytes, c.stray) << c.name;
    EXPECT_EQ(b.exchange.LastNotes().droppedBytes, 0u) << c.name;
  }
}

TEST_P(BothKinds, NotesAreClearedByTheNextExchange) {
  Bench b(GetParam());
  b.link.Schedule(ArriveAfter(5, "noise"));
  EXPECT_FALSE(b.Exchange());
  EXPECT_TRUE(b.exchange.LastNotes().Disturbed());
  b.link.Schedule(ArriveAfter(5, BuildReply("0001ZvOK")));
  EXPECT_TRUE(b.Exchange());
  EXPECT_FALSE(b.exchange.LastNotes().Disturbed());
}

// A half-duplex adapter hands the request back before the reply: an exact
// copy at the start is removed, anything else about it is stray.
TEST_P(BothKinds, AnExactEchoOfTheRequestIsRemovedAndDisturbsNothing) {
  struct Case {
    const char* name;
    std::size_t echoed;  // bytes of the request handed back, 0: none
    bool altered;        // one of them changed on the way
    Bytes between;       // bytes between echo and reply
    std::size_t echoBytes;
    std::size_t stray;
  };
  const Bytes request = BuildRequest("0001Zv0200");
  const std::vector<Case> cases = {
      {"exact echo", request.size(), false, {}, request.size(), 0},
      {"exact echo, then a glitch byte", request.size(), false, {0xFF}, request.size(), 1},
      {"cut echo", 5, false, {}, 0, 5},
      {"altered echo", request.size(), true, {}, 0, request.size()},
  };
  for (const auto& c : cases) {
    Bench b(GetParam());
    Bytes arriving(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(c.echoed));
    if (c.altered) {
      arriving[3] ^= 0x01;
    }
    arriving.insert(arriving.end(), c.between.begin(), c.between.end());
    const Bytes reply = BuildReply("0001ZvOK");
    arriving.insert(arriving.end(), reply.begin(), reply.end());
    b.link.Schedule(StreamAfter(2, arriving, GetParam() == LinkKind::Serial ? kSerialByteUs : 0));
    EXPECT_TRUE(b.Exchange("0001Zv0200")) << c.name;
    EXPECT_EQ(b.exchange.ResponseText(), Text(reply)) << c.name;
    EXPECT_EQ(b.exchange.LastNotes().echoBytes, c.echoBytes) << c.name;
    EXPECT_EQ(b.exchange.LastNotes().strayBytes, c.stray) << c.name;
    EXPECT_FALSE(b.exchange.LastNotes().otherFrame) << c.name;
  }
}

// Noise may be forgiven where nothing is owed; part of another reply never.
TEST_P(BothKinds, NotesWhenPartOfAnotherReplyCameWithTheFrame) {
  const Bytes reply = BuildReply("0001ZvOK");
  const Bytes other = BuildReply("0001ZvOLD");
  Bytes cutHead(other.begin(), other.begin() + 5);
  cutHead.insert(cutHead.end(), reply.begin(), reply.end());
  Bytes noise = {0x00, 'x', '\r'};
  noise.insert(noise.end(), reply.begin(), reply.end());
  for (const auto& [name, arriving, otherFrame] : std::vector<std::tuple<const char*, Bytes, bool>>{
           {"head of another reply", cutHead, true}, {"noise", noise, false}}) {
    Bench b(GetParam());
    b.link.Schedule(ArriveAfter(5, arriving));
    EXPECT_TRUE(b.Exchange()) << name;
    EXPECT_EQ(b.exchange.LastNotes().otherFrame, otherFrame) << name;
    EXPECT_EQ(b.exchange.LastNotes().OnlyNoise(), !otherFrame) << name;
  }
}

TEST(ExchangeTcp, AReplyDroppedAfterTheFrameIsNotedAsAnotherReply) {
  Bench b(LinkKind::Tcp);
  Bytes both = BuildReply("0001ZvOLD");
  const Bytes own = BuildReply("0001ZvOWN");
  both.insert(both.end(), own.begin(), own.end());
  b.link.Schedule(ArriveAfter(10, both));
  EXPECT_TRUE(b.Exchange());
  EXPECT_TRUE(b.exchange.LastNotes().otherFrame);
  EXPECT_FALSE(b.exchange.LastNotes().OnlyNoise());
}

// At 9600 baud a read-back reply lasts over a second: a pause of a few
// milliseconds inside it, past the window, must not end the wait, while a
// pause outside a frame still does.
TEST(ExchangeSerial, APauseInsideAFrameEndsTheWaitOnlyAfterTenCharacters) {
  const auto character = CharacterTimeAt(9600, 11);
  const auto characterUs = static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(character).count());
  const Bytes reply = BuildReply("0001Zv" + std::string(1024, 'F'));
  const std::size_t split = 400;  // about 460 ms into the reply: past the window
  const Bytes head(reply.begin(), reply.begin() + split);
  const Bytes tail(reply.begin() + split, reply.end());
  for (const std::uint32_t pauseUs : {4000u, 15000u, 30000u}) {
    Bench b(LinkKind::Serial);
    b.link.SetCharacterTime(character);
    b.link.Schedule(StreamAfter(2, head, characterUs));
    b.link.Schedule(
        StreamAfterUs(2000 + std::uint64_t{characterUs} * split + pauseUs, tail, characterUs));
    const bool whole = pauseUs < 20000;
    EXPECT_EQ(b.Exchange(), whole) << pauseUs << " us";
  }
}

TEST_P(BothKinds, TheLastLookWaitsAWholeWindowAfterTheReply) {
  {
    Bench b(GetParam());
    b.link.Schedule(ArriveAfter(5, BuildReply("0001ZvOK")));
    EXPECT_TRUE(b.Exchange());
    const std::uint32_t replyEnd = b.clock.NowMs();
    EXPECT_TRUE(b.exchange.QuietForWindowAfterReply());
    EXPECT_EQ(ElapsedMs(replyEnd, b.clock.NowMs()), 301u);
  }
  {
    // The real reply, still in flight on a slow link, shows up in it and is
    // thrown away by the resync that follows.
    Bench b(GetParam());
    b.link.Schedule(ArriveAfter(5, BuildReply("0001ZvOLD")));
    b.link.Schedule(ArriveAfter(180, BuildReply("0001ZvOWN")));
    EXPECT_TRUE(b.Exchange());
    EXPECT_FALSE(b.exchange.QuietForWindowAfterReply());
    EXPECT_TRUE(b.exchange.Resync());
    EXPECT_TRUE(b.exchange.ResyncDiscardedReply());
    EXPECT_EQ(b.link.Pending(), 0u);
    EXPECT_TRUE(b.exchange.Resync());
    EXPECT_FALSE(b.exchange.ResyncDiscardedReply());
  }
}

TEST_P(BothKinds, InputWaitingOnlyLooks) {
  Bench b(GetParam());
  b.link.Schedule(ArriveAfter(20, BuildReply("0001ZvOK")));
  const std::uint32_t before = b.clock.NowMs();
  EXPECT_FALSE(b.exchange.InputWaiting());
  EXPECT_EQ(b.clock.NowMs(), before) << "the look never waits";
  b.clock.Advance(20);
  EXPECT_TRUE(b.exchange.InputWaiting());
  EXPECT_TRUE(b.exchange.InputWaiting()) << "looking reads nothing";
  EXPECT_TRUE(b.link.Writes().empty());
}

TEST_P(BothKinds, ResyncDiscardsOwedRepliesUntilAWholeWindowIsQuiet) {
  Bench b(GetParam());
  // Two owed replies and some noise, the last byte 480 ms from now.
  b.link.Schedule(ArriveAfter(0, BuildReply("0001ZvLATE")));
  b.link.Schedule(StreamAfter(200, BuildReply("0001ZvLATER"), kSerialByteUs));
  b.link.Schedule(ArriveAfter(480, "junk"));
  const std::uint32_t start = b.clock.NowMs();
  EXPECT_TRUE(b.exchange.Resync());
  EXPECT_EQ(b.link.Pending(), 0u);
  EXPECT_EQ(ElapsedMs(start, b.clock.NowMs()), 480u + 301u);
  EXPECT_TRUE(b.link.Writes().empty());
  // In step again: the next exchange takes its own reply.
  b.link.Schedule(ArriveAfter(3, BuildReply("0001ZvMINE")));
  EXPECT_TRUE(b.Exchange());
  EXPECT_EQ(b.exchange.ResponseText(), Text(BuildReply("0001ZvMINE")));
}

TEST_P(BothKinds, ResyncOnAQuietLinkTakesOneWindow) {
  Bench b(GetParam());
  const std::uint32_t start = b.clock.NowMs();
  EXPECT_TRUE(b.exchange.Resync());
  EXPECT_EQ(ElapsedMs(start, b.clock.NowMs()), 301u);
}

TEST_P(BothKinds, ResyncGivesUpOnALinkThatNeverFallsQuiet) {
  Bench b(GetParam());
  for (std::uint32_t at = 0; at < 10000; at += 100) {
    b.link.Schedule(ArriveAfter(at, "chatter"));
  }
  const std::uint32_t start = b.clock.NowMs();
  EXPECT_FALSE(b.exchange.Resync());
  const std::uint32_t took = ElapsedMs(start, b.clock.NowMs());
  EXPECT_GT(took, kResyncLimitMs);
  EXPECT_LE(took, kResyncLimitMs + 101);
}

// At 4800 baud a reply of a whole block lasts 2.4 s: a resync that starts
// as one begins, with another owed behind it, must outlast both, and still
// end on a line that never falls quiet.
TEST(SlowSerialLine, ResyncOutlastsTwoWholeRepliesAndStillEnds) {
  const auto character = CharacterTimeAt(4800, 11);
  const auto characterUs = static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(character).count());
  const Bytes reply = BuildReply("0001Zv0000" + std::string(1024, 'F'));
  {
    Bench b(LinkKind::Serial);
    b.link.SetCharacterTime(character);
    b.link.Schedule(StreamAfter(0, reply, characterUs));
    b.link.Schedule(StreamAfterUs(std::uint64_t{characterUs} * reply.size(), reply, characterUs));
    const std::uint32_t start = b.clock.NowMs();
    EXPECT_TRUE(b.exchange.Resync());
    EXPECT_EQ(b.link.Pending(), 0u);
    EXPECT_GT(ElapsedMs(start, b.clock.NowMs()), kResyncLimitMs);
  }
  {
    Bench b(LinkKind::Serial);
    b.link.SetCharacterTime(character);
    for (std::uint32_t at = 0; at < 20000; at += 100) {
      b.link.Schedule(ArriveAfter(at, "chatter"));
    }
    const std::uint32_t limit = ResyncLimitMs(character);
    const std::uint32_t start = b.clock.NowMs();
    EXPECT_FALSE(b.exchange.Resync());
    const std::uint32_t took = ElapsedMs(start, b.clock.NowMs());
    EXPECT_GT(took, limit);
    EXPECT_LE(took, limit + 101);
  }
  // Where a character is short the limit stays as it is.
  EXPECT_EQ(ResyncLimitMs(CharacterTimeAt(19200, 11)), kResyncLimitMs);
  EXPECT_EQ(ResyncLimitMs(std::chrono::nanoseconds::zero()), kResyncLimitMs);
}

}  // namespace
}  // namespace ql::link
