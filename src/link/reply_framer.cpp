// Collecting reply bytes into the fixed 1500-byte buffer and checking the CRC
// of a complete frame.
//
// The write position only ever takes values 0..1499: it is put back to 0 by a
// start byte and wraps to 0 when it reaches the end of the buffer, so every
// store and the terminating zero stay inside the buffer whatever arrives.
#include "link/reply_framer.h"

#include <algorithm>
#include <cstring>

#include "link/crc16.h"

namespace ql::link {

void ReplyFramer::ClearBuffer() {
  buffer_.fill(0);
}

void ReplyFramer::ResetLength() {
  replyLength_ = 0;
}

bool ReplyFramer::Feed(std::uint8_t b) {
  // A start byte begins a new frame at slot 0; stray bytes before it are
  // overwritten.
  if (b == kReplyStart) {
    replyLength_ = 0;
  }
  buffer_[static_cast<std::size_t>(replyLength_)] = b;
  ++replyLength_;
  if (replyLength_ == static_cast<std::int32_t>(buffer_.size())) {
    replyLength_ = 0;
  }
  if (b != kCr || buffer_[0] != kReplyStart) {
    return false;
  }
  // The frame is complete. The text is taken before the check runs, so a
  // rejected frame can still be looked at.
  buffer_[static_cast<std::size_t>(replyLength_)] = 0;
  const auto end = std::find(buffer_.begin(), buffer_.end(), std::uint8_t{0});
  responseText_.assign(reinterpret_cast<const char*>(buffer_.data()),
                       static_cast<std::size_t>(end - buffer_.begin()));
  return true;
}

bool ReplyFramer::CheckResponse() const {
  // The CRC covers slot 0 through the first end marker, whatever lies between
  // (zero bytes included). The marker and the four CRC characters must lie
  // inside the frame, before its CR: bytes left beyond the CR from earlier
  // noise must never make a frame without an end marker of its own pass.
  const auto frameEnd = buffer_.begin() + replyLength_;
  const auto marker = std::find(buffer_.begin(), frameEnd, kReplyEnd);
  if (marker == frameEnd) {
    return false;
  }
  const auto covered = static_cast<std::size_t>(marker - buffer_.begin()) + 1;
  if (covered + 4 >= static_cast<std::size_t>(replyLength_)) {
    return false;
  }
  const auto expected = CrcText(FrameCrc(std::span(buffer_.data(), covered)));
  return std::memcmp(buffer_.data() + covered, expected.data(), expected.size()) == 0;
}

}  // namespace ql::link
