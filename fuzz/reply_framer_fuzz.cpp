// Feeds arbitrary bytes through reply framing and the CRC check, and checks
// what must hold whatever arrives: the write position stays inside the
// buffer, a completed frame starts with the start byte and ends with CR (or
// is empty after a wrap), an accepted frame is one a device could have built,
// and the exchange-level rules agree with the framer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz_support.h"
#include "link/frame.h"
#include "link/reply_framer.h"

namespace {

using ql::fuzz::Require;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ql::link;
  ReplyFramer framer;
  framer.ClearBuffer();
  framer.ResetLength();
  std::string lastText;
  for (std::size_t i = 0; i < size; ++i) {
    const bool complete = framer.Feed(data[i]);
    const std::int32_t length = framer.ReplyLength();
    Require(length >= 0 && length < static_cast<std::int32_t>(kFrameBufferSize));
    if (!complete) {
      // Between frames the text is that of the last complete one.
      Require(framer.ResponseText() == lastText);
      continue;
    }
    Require(data[i] == kCr);
    const std::string& text = framer.ResponseText();
    Require(text.size() <= static_cast<std::size_t>(length) || length == 0);
    if (length == 0) {
      Require(text.empty());  // the terminating zero went into slot 0
    } else {
      Require(!text.empty() && static_cast<std::uint8_t>(text[0]) == kReplyStart);
    }
    const bool accepted = framer.CheckResponse();
    if (accepted) {
      // The shortest frame is start byte, end marker, four CRC characters, CR.
      Require(length >= static_cast<std::int32_t>(kFrameOverhead));
    }
    if (accepted && text.size() == static_cast<std::size_t>(length)) {
      // A zero-free accepted frame holds its own end marker and CRC before
      // the CR; with nothing between CRC and CR it is exactly what
      // BuildReply makes of its body.
      const std::size_t marker = text.find(static_cast<char>(kReplyEnd));
      Require(marker != std::string::npos && marker + 5 < text.size());
      if (marker + 6 == text.size()) {
        const auto rebuilt = BuildReply(std::string_view(text).substr(1, marker - 1));
        Require(std::string_view(reinterpret_cast<const char*>(rebuilt.data()), rebuilt.size()) ==
                text);
      }
    }
    lastText = text;
    // Keep going, as the next exchange would after clearing its buffer.
    framer.ClearBuffer();
    framer.ResetLength();
  }
  return 0;
}
