// Turns the device's answer into the bytes that go on the link, with the
// faults that strike a reply on its way: lost, late, a wrong or lowercase
// CRC, noise before the frame, its CR lost, sent twice.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim_config.h"

namespace ql::sim {

struct Transmission {
  std::vector<std::uint8_t> bytes;  // empty: nothing goes out
  std::chrono::milliseconds delay{0};
  std::string faults;  // the faults applied, for the log; empty when none
};

class ReplyFaults {
 public:
  explicit ReplyFaults(const FaultConfig& faults) : faults_(faults) {}

  // The bytes for `body` (nullopt: the device sent nothing) and when they go.
  Transmission Transmit(const CommandRef& command, const std::optional<std::string>& body) const;

  // Whether the link is to be closed or hung up once this command's reply
  // has gone out.
  bool HangsUpAfter(const CommandRef& command) const;

 private:
  FaultConfig faults_;
};

}  // namespace ql::sim
