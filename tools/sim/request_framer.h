// Picks request frames out of the byte stream the device receives:
//   0x01, payload, 0x02, CRC as 4 uppercase hex characters, CR.
// Bytes outside a frame are ignored; a 0x01 always starts a new frame, so a
// frame cut short by a new one is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ql::sim {

struct RequestFrame {
  std::string payload;
  bool crcOk = false;         // the CRC characters match, in uppercase
  std::string crcText;        // the four CRC characters as they came
  std::size_t wireBytes = 0;  // 0x01 through CR

  // The frame's bytes as they came, 0x01 through CR.
  std::vector<std::uint8_t> Wire() const;
};

class RequestFramer {
 public:
  // Takes one received byte; returns the frame that this byte completed.
  std::optional<RequestFrame> Feed(std::uint8_t b);

  // Forgets a frame in progress.
  void Reset();

  // Whether a frame has begun and not yet ended.
  bool InFrame() const { return state_ != State::Idle; }

  // Frames abandoned: too long, or not ended by a CR after their CRC.
  std::size_t Abandoned() const { return abandoned_; }

 private:
  enum class State { Idle, Payload, Crc, Cr };

  void Abandon();

  State state_ = State::Idle;
  std::string payload_;
  std::string crcText_;
  std::size_t abandoned_ = 0;
};

}  // namespace ql::sim
