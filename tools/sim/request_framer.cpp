// Request framing on the device side.
#include "sim/request_framer.h"

#include <string_view>

#include "link/frame.h"

namespace ql::sim {
namespace {

bool CrcMatches(std::string_view payload, std::string_view crcText) {
  // The request frame of the payload carries the CRC the sender should have sent.
  const auto expected = link::BuildRequest(payload);
  const auto crcAt = expected.size() - 5;
  return std::string_view(reinterpret_cast<const char*>(expected.data()) + crcAt, 4) == crcText;
}

}  // namespace

std::vector<std::uint8_t> RequestFrame::Wire() const {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(wireBytes);
  bytes.push_back(link::kRequestStart);
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  bytes.push_back(link::kRequestEnd);
  bytes.insert(bytes.end(), crcText.begin(), crcText.end());
  bytes.push_back(link::kCr);
  return bytes;
}

std::optional<RequestFrame> RequestFramer::Feed(std::uint8_t b) {
  if (b == link::kRequestStart) {
    if (state_ != State::Idle) {
      Abandon();
    }
    state_ = State::Payload;
    payload_.clear();
    crcText_.clear();
    return std::nullopt;
  }
  switch (state_) {
    case State::Idle:
      break;
    case State::Payload:
      if (b == link::kRequestEnd) {
        state_ = State::Crc;
      } else if (payload_.size() == link::kMaxPayload) {
        Abandon();
      } else {
        payload_.push_back(static_cast<char>(b));
      }
      break;
    case State::Crc:
      crcText_.push_back(static_cast<char>(b));
      if (crcText_.size() == 4) {
        state_ = State::Cr;
      }
      break;
    case State::Cr:
      if (b != link::kCr) {
        Abandon();
        break;
      }
      state_ = State::Idle;
      RequestFrame frame;
      frame.crcOk = CrcMatches(payload_, crcText_);
      frame.crcText = crcText_;
      frame.wireBytes = payload_.size() + link::kFrameOverhead;
      frame.payload = std::move(payload_);
      payload_.clear();
      return frame;
  }
  return std::nullopt;
}

void RequestFramer::Reset() {
  state_ = State::Idle;
  payload_.clear();
  crcText_.clear();
}

void RequestFramer::Abandon() {
  ++abandoned_;
  Reset();
}

}  // namespace ql::sim
