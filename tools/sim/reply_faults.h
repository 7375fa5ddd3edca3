// Turns the device's answer into the bytes that go on the link, with the
// faults that strike a reply on its way: lost, late, a wrong or lowercase
// CRC, noise or a glitch byte before the frame, its CR lost, sent twice, a
// stale copy of the previous reply before or after it, a pause inside it;
// and says which request frames the link echoes.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/sim_config.h"

namespace ql::sim {

struct Transmission {
  std::vector<std::uint8_t> bytes;  // empty: nothing goes out
  std::chrono::milliseconds delay{0};
  std::string faults;  // the faults applied, for the log; empty when none
  // The reply frame as it went out, for a later stale copy; empty when the
  // reply was lost.
  std::vector<std::uint8_t> frame;
  // Bytes from index `pauseAt` on go out `pause` later than their schedule.
  std::size_t pauseAt = 0;
  std::chrono::microseconds pause{0};
};

class ReplyFaults {
 public:
  explicit ReplyFaults(const FaultConfig& faults) : faults_(faults) {}

  // The bytes for `body` (nullopt: the device sent nothing) and when they go.
  // `previousFrame` is the last reply frame that went out (empty: none yet).
  Transmission Transmit(const CommandRef& command, const std::optional<std::string>& body,
                        std::span<const std::uint8_t> previousFrame = {}) const;

  // Whether a request frame goes back on the link as it came. `command` is
  // the number the device gives it; nullopt for a frame it does not number
  // (a wrong CRC, another device ID, while rebooting).
  bool Echoes(const std::optional<CommandRef>& command) const;

  // Whether the link is to be closed or hung up once this command's reply
  // has gone out.
  bool HangsUpAfter(const CommandRef& command) const;

 private:
  FaultConfig faults_;
};

}  // namespace ql::sim
