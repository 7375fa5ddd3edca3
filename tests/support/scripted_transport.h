// A link for tests on the virtual clock: it records every write, answers from
// a script, and delivers each scheduled arrival when the clock reaches it.
// Reading advances the virtual clock, as a real wait would.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "link/serial_reply_wait.h"
#include "link/transport.h"
#include "support/virtual_clock.h"

namespace ql::testing_support {

// Bytes that reach the reader `afterMs` milliseconds after they were
// scheduled. With `byteSpacingUs` above 0 they trickle in one at a time that
// far apart, like a serial line (about 520 us a byte at 19200 baud); with 0
// they all arrive at once.
struct Arrival {
  std::uint32_t afterMs = 0;
  std::vector<std::uint8_t> bytes;
  std::uint32_t byteSpacingUs = 0;
  // Added to afterMs, for moments between whole milliseconds.
  std::uint32_t extraUs = 0;
};

Arrival ArriveAfter(std::uint32_t afterMs, std::string_view bytes);
Arrival ArriveAfter(std::uint32_t afterMs, const std::vector<std::uint8_t>& bytes);
Arrival StreamAfter(std::uint32_t afterMs, const std::vector<std::uint8_t>& bytes,
                    std::uint32_t byteSpacingUs);
// The same, timed in microseconds.
Arrival StreamAfterUs(std::uint64_t afterUs, const std::vector<std::uint8_t>& bytes,
                      std::uint32_t byteSpacingUs = 0);

// The character time the scripted link reports unless told otherwise: the
// default line settings, 19200 baud, 8 data bits, even parity, 1 stop bit.
inline constexpr std::chrono::nanoseconds kDefaultCharacterTime = link::CharacterTimeAt(19200, 11);

class ScriptedTransport final : public link::Transport {
 public:
  // Called for every write with the bytes written; what it returns is
  // scheduled from the moment of the write.
  using Responder = std::function<std::vector<Arrival>(const std::vector<std::uint8_t>& written)>;

  ScriptedTransport(VirtualClock& clock, link::LinkKind kind);

  void SetResponder(Responder responder) { responder_ = std::move(responder); }
  // The character time the link reports, as a port at some line settings
  // would; 0 leaves only the 1 ms quiet rule and the shortest bound.
  void SetCharacterTime(std::chrono::nanoseconds time) { characterTime_ = time; }

  // Schedules bytes from now, whatever is written.
  void Schedule(Arrival arrival);

  // The link goes away `afterUs` from now, for `reason` (a port unplugged, a
  // peer that closed): bytes due before then are still read, later ones
  // never; from then on every read and write says the link is gone.
  void GoAway(std::string reason, std::uint64_t afterUs = 0);

  link::LinkKind Kind() const override { return kind_; }
  // Records the bytes and answers through the responder; once the link is
  // gone, records nothing and says so.
  link::WriteResult Write(std::span<const std::uint8_t> bytes) override;
  // Returns at once what is already due; otherwise waits for the first byte
  // due before `wait` has passed and returns it with whatever is due with it.
  // A byte due exactly as the wait ends is left for the next read, as a real
  // time-out would leave it. With nothing in time the clock moves on by
  // `wait` and 0 is returned. A link that goes away within the wait says so
  // at that moment.
  link::ReadResult Read(std::span<std::uint8_t> into, std::chrono::microseconds wait) override;
  std::string GoneReason() const override { return Gone() ? goneReason_ : std::string(); }
  // Whether a byte is due by now.
  bool InputWaiting() override;
  std::chrono::nanoseconds CharacterTime() const override { return characterTime_; }
  void Close() override { closed_ = true; }

  const std::vector<std::vector<std::uint8_t>>& Writes() const { return writes_; }
  // The payloads of the request frames written, without framing and CRC.
  std::vector<std::string> WrittenPayloads() const;
  bool Closed() const { return closed_; }
  // Whether the link has gone away by now.
  bool Gone() const { return goneAtUs_ && *goneAtUs_ <= clock_.NowUs(); }
  // Bytes scheduled but not yet read.
  std::size_t Pending() const { return pending_.size(); }
  // The waits asked of Read, in order; its size is the number of reads.
  const std::vector<std::chrono::microseconds>& Waits() const { return waits_; }

 private:
  VirtualClock& clock_;
  link::LinkKind kind_;
  Responder responder_;
  // Each byte with the virtual time (in microseconds) it arrives, in order of
  // arrival; bytes due at the same moment keep the order they were scheduled
  // in.
  std::deque<std::pair<std::uint64_t, std::uint8_t>> pending_;
  std::vector<std::vector<std::uint8_t>> writes_;
  std::vector<std::chrono::microseconds> waits_;
  std::chrono::nanoseconds characterTime_ = kDefaultCharacterTime;
  bool closed_ = false;
  // When the link goes away, on the virtual clock, and why.
  std::optional<std::uint64_t> goneAtUs_;
  std::string goneReason_;
};

}  // namespace ql::testing_support
