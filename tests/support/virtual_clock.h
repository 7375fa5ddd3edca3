// A clock for tests: time moves only when something sleeps or waits on it.
#pragma once

#include <cstdint>
#include <vector>

#include "link/clock.h"

namespace ql::testing_support {

class VirtualClock final : public link::Clock {
 public:
  explicit VirtualClock(std::uint32_t startMs = 0) : now_(startMs) {}

  std::uint32_t NowMs() override { return now_; }
  void SleepMs(std::uint32_t ms) override {
    sleeps_.push_back(ms);
    now_ += ms;
  }

  // Moves time on without recording a sleep (a wait on a link, say).
  void Advance(std::uint32_t ms) { now_ += ms; }

  // Every pause asked of this clock, in order.
  const std::vector<std::uint32_t>& Sleeps() const { return sleeps_; }

 private:
  std::uint32_t now_;
  std::vector<std::uint32_t> sleeps_;
};

}  // namespace ql::testing_support
