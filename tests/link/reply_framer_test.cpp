// Collecting reply frames in the fixed buffer and checking their CRC, fed
// with good replies and with everything a broken device or line can send.
#include "link/reply_framer.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "link/crc16.h"
#include "link/frame.h"

namespace ql::link {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

Bytes Raw(std::string_view s) {
  return {s.begin(), s.end()};
}

std::string Text(const Bytes& b) {
  return {b.begin(), b.end()};
}

// A reply whose CRC characters are written in lowercase.
Bytes LowercaseCrcReply(std::string_view body) {
  Bytes frame = BuildReply(body);
  for (std::size_t i = frame.size() - 5; i < frame.size() - 1; ++i) {
    frame[i] = static_cast<std::uint8_t>(std::tolower(frame[i]));
  }
  return frame;
}

Bytes WrongCrcReply(std::string_view body) {
  Bytes frame = BuildReply(body);
  frame[frame.size() - 2] = frame[frame.size() - 2] == '0' ? '1' : '0';
  return frame;
}

struct Outcome {
  int completions = 0;
  bool check = false;
};

// Feeds every byte as an exchange would until the first complete frame.
Outcome FeedUntilComplete(ReplyFramer& framer, const Bytes& bytes) {
  framer.ClearBuffer();
  framer.ResetLength();
  Outcome outcome;
  for (const std::uint8_t b : bytes) {
    if (framer.Feed(b)) {
      ++outcome.completions;
      outcome.check = framer.CheckResponse();
      break;
    }
  }
  return outcome;
}

TEST(ReplyFramer, HandshakeSizedReplyIsAcceptedWithLength29) {
  const Bytes reply = BuildReply("0001ZxQL480TX-V5  1.02");
  ASSERT_EQ(reply.size(), 29u);
  ReplyFramer framer;
  const Outcome outcome = FeedUntilComplete(framer, reply);
  EXPECT_EQ(outcome.completions, 1);
  EXPECT_TRUE(outcome.check);
  EXPECT_EQ(framer.ReplyLength(), 29);
  EXPECT_EQ(framer.ResponseText(), Text(reply));
}

TEST(ReplyFramer, BadInputs) {
  const Bytes good = BuildReply("0001ZxOK");
  const std::string longest(kFrameBufferSize - kFrameOverhead - 1, 'A');  // 1499-byte frame
  const std::string exact(kFrameBufferSize - kFrameOverhead, 'A');        // 1500-byte frame
  const std::string over(kFrameBufferSize - kFrameOverhead + 1, 'A');     // 1501-byte frame

  struct Case {
    const char* name;
    Bytes input;
    bool completes;
    bool check;
    std::int32_t length;  // after the first completion, or after all bytes
    std::string text;     // ResponseText afterwards
  };
  const Case cases[] = {
      {"noise and a CR before the start byte", Concat({Raw("xy\r\x01z"), good}), true, true,
       static_cast<std::int32_t>(good.size()), Text(good)},
      {"start byte inside a reply restarts it",
       Concat({Raw("\x03"
                   "0001Zx"),
               good}),
       true, true, static_cast<std::int32_t>(good.size()), Text(good)},
      {"CR before the end marker",
       Raw("\x03"
           "0001\rZx\x04"
           "1234\r"),
       true, false, 6,
       "\x03"
       "0001\r"},
      {"wrong CRC character", WrongCrcReply("0001ZxOK"), true, false,
       static_cast<std::int32_t>(good.size()), Text(WrongCrcReply("0001ZxOK"))},
      {"lowercase CRC characters", LowercaseCrcReply("0001ZxData"), true, false, 17,
       Text(LowercaseCrcReply("0001ZxData"))},
      {"end marker with only three slots after it",
       Concat({Raw("\x03"), Raw(std::string(1495, 'B')), Raw("\x04\r")}), true, false, 1498,
       Text(Concat({Raw("\x03"), Raw(std::string(1495, 'B')), Raw("\x04\r")}))},
      {"end marker in the last slot",
       Concat({Raw("\x03"), Raw(std::string(1497, 'B')), Raw("\x04\r")}), true, false, 0, ""},
      {"longest acceptable reply (1499 bytes)", BuildReply(longest), true, true, 1499,
       Text(BuildReply(longest))},
      {"reply of exactly 1500 bytes", BuildReply(exact), true, false, 0, ""},
      {"reply of 1501 bytes is never recognised", BuildReply(over), false, false, 1, ""},
      {"CRC and CR but no start byte",
       Raw("0001ZxOK\x04"
           "ABCD\r"),
       false, false, 14, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReplyFramer framer;
    const Outcome outcome = FeedUntilComplete(framer, c.input);
    EXPECT_EQ(outcome.completions, c.completes ? 1 : 0);
    EXPECT_EQ(outcome.check, c.check);
    EXPECT_EQ(framer.ReplyLength(), c.length);
    EXPECT_EQ(framer.ResponseText(), c.text);
  }
}

TEST(ReplyFramer, ZeroByteCutsTheTextButTheCheckCoversTheWholeFrame) {
  const std::string body("0001Zx\0tail", 11);
  const Bytes reply = BuildReply(body);
  ReplyFramer framer;
  const Outcome outcome = FeedUntilComplete(framer, reply);
  EXPECT_TRUE(outcome.check);
  EXPECT_EQ(framer.ResponseText(),
            "\x03"
            "0001Zx");
  EXPECT_EQ(framer.ReplyLength(), static_cast<std::int32_t>(reply.size()));

  // A changed byte after the zero is still caught.
  Bytes corrupted = reply;
  corrupted[9] = 'T';
  EXPECT_FALSE(FeedUntilComplete(framer, corrupted).check);
}

TEST(ReplyFramer, TextOfARejectedFrameStaysUntilTheNextCompleteFrame) {
  ReplyFramer framer;
  const Bytes wrong = WrongCrcReply("0001ZxOK");
  FeedUntilComplete(framer, wrong);
  // A later incomplete reply changes the length but not the text.
  FeedUntilComplete(framer, Raw("\x03"
                                "0001"));
  EXPECT_EQ(framer.ResponseText(), Text(wrong));
  EXPECT_EQ(framer.ReplyLength(), 5);
}

// Noise earlier in the same wait can leave an end marker and matching CRC
// characters in the slots beyond a later, shorter frame's CR.
TEST(ReplyFramer, LeftoverBytesBeyondTheCrCannotPassTheCheck) {
  ReplyFramer framer;
  framer.ClearBuffer();
  framer.ResetLength();
  // Slots 0..10 get a start byte, "abcde", an end marker and four CRC
  // characters, but no CR; then a frame of three bytes overwrites slots 0..2.
  const Bytes stale =
      Raw("\x03"
          "abcde\x04");
  for (const std::uint8_t b : stale) {
    framer.Feed(b);
  }
  // The CRC characters that would match slots 0..6 once the short frame and
  // its terminating zero are in place.
  const Bytes after = Raw(std::string("\x03x\r\0de\x04", 7));
  const auto crc = CrcText(FrameCrc(after));
  for (const char c : crc) {
    framer.Feed(static_cast<std::uint8_t>(c));
  }
  EXPECT_FALSE(framer.Feed(0x03));
  EXPECT_FALSE(framer.Feed('x'));
  ASSERT_TRUE(framer.Feed('\r'));
  EXPECT_EQ(framer.ResponseText(), "\x03x\r");
  EXPECT_FALSE(framer.CheckResponse()) << "the frame has no end marker of its own";
}

// An input the fuzzer found: one of its frames, "\x03O\xF8x\r", passed the
// check through leftover bytes. Every frame in it must be rejected.
TEST(ReplyFramer, FuzzFoundLeftoverCrcIsRejected) {
  const std::string hex =
      "0403250000FFFFFF04034FF8780D03FF4A1B2500000004037827780D78250000FFFFFF04034FF8780D03FF4A"
      "1B04030DC5C5C5236004034FF8780D03FF480D03FF4A1B04030DC5C5C52360440300601B04030DC5C54B4B4B"
      "78786046433039780D780403250000FFFFFF04034FF8780D03FF4A1B2500000004037827780D78250000FFFF"
      "FF04034FF8780D03FF4A1B04030DC5C5C5236004034FF8780D03FF480D03FF4A1B04030DC5C5C52360440300"
      "601B04030DC5C54B4B4B787860780D782500FFFF04034FF8780D03FF2500FFFF04034FF8780D03FF4A1B2500"
      "04034FF8780D03FF4A1B044B";
  Bytes input;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    input.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  ReplyFramer framer;
  framer.ClearBuffer();
  framer.ResetLength();
  int frames = 0;
  for (const std::uint8_t b : input) {
    if (framer.Feed(b)) {
      ++frames;
      EXPECT_FALSE(framer.CheckResponse()) << "frame " << frames;
      framer.ClearBuffer();
      framer.ResetLength();
    }
  }
  EXPECT_EQ(frames, 19);
}

TEST(ReplyFramer, CheckOnAClearedBufferFails) {
  ReplyFramer framer;
  framer.ClearBuffer();
  EXPECT_FALSE(framer.CheckResponse());
}

}  // namespace
}  // namespace ql::link
