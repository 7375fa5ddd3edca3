// Collecting reply bytes into a frame, and checking a complete frame's CRC.
// The framer's state outlives an exchange: the reply length and the text of
// the last complete frame stay until the next one changes them.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "link/frame.h"

namespace ql::link {

class ReplyFramer {
 public:
  // ResponseBuffer := 1500 zero bytes (start of every exchange).
  void ClearBuffer();

  // Reply length := 0 (start of every wait).
  void ResetLength();

  // One framing step for the received byte. Returns true when the byte
  // completed a frame: a CR while slot 0 holds the start byte. ResponseText
  // is then taken, before any check.
  bool Feed(std::uint8_t b);

  // Run once Feed has reported a complete frame. True when the frame holds
  // an end marker followed by the four uppercase CRC characters of
  // everything from slot 0 through that marker, all before its CR. False
  // when there is no marker, fewer than four characters follow it, or they
  // differ.
  bool CheckResponse() const;

  // The last complete frame, from its start byte up to the first zero byte.
  const std::string& ResponseText() const { return responseText_; }

  // Whether a frame has begun and not yet ended: a start byte is at slot 0
  // and no CR has completed it.
  bool InFrame() const { return replyLength_ > 0 && buffer_[0] == kReplyStart; }

  // The write position in the buffer: after an accepted reply, its length.
  std::int32_t ReplyLength() const { return replyLength_; }

 private:
  std::array<std::uint8_t, kFrameBufferSize> buffer_{};
  std::int32_t replyLength_ = 0;
  std::string responseText_;
};

}  // namespace ql::link
