// A clock for tests: time moves only when something sleeps or waits on it.
//
// Time is kept in microseconds so a scripted link can deliver bytes faster
// than one per millisecond, as a serial line does; NowMs() reads it as the
// wrapping millisecond counter the code under test sees.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "link/clock.h"

namespace ql::testing_support {

class VirtualClock final : public link::Clock {
 public:
  explicit VirtualClock(std::uint32_t startMs = 0) : startMs_(startMs) {}

  std::uint32_t NowMs() override { return startMs_ + static_cast<std::uint32_t>(us_ / 1000); }
  void SleepMs(std::uint32_t ms) override { PauseUntil(us_ + std::uint64_t{ms} * 1000, ms); }
  // As on the real clock: `ms` after the later of the last mark and the end
  // of the last pause; a mark further back than that ends it at once.
  void SleepAfterMarkMs(std::uint32_t ms) override {
    PauseUntil(markUs_.value_or(us_) + std::uint64_t{ms} * 1000, ms);
  }
  void MarkPauseStart() override { markUs_ = us_; }

  // Moves time on without recording a sleep (a wait on a link, say).
  void Advance(std::uint32_t ms) { us_ += std::uint64_t{ms} * 1000; }
  void AdvanceUs(std::uint64_t us) { us_ += us; }

  // Microseconds since the clock was made; never wraps.
  std::uint64_t NowUs() const { return us_; }

  // Every pause asked of this clock, in order.
  const std::vector<std::uint32_t>& Sleeps() const { return sleeps_; }

 private:
  void PauseUntil(std::uint64_t endUs, std::uint32_t ms) {
    sleeps_.push_back(ms);
    us_ = std::max(us_, endUs);
    markUs_ = endUs;
  }

  std::uint32_t startMs_;
  std::uint64_t us_ = 0;
  std::optional<std::uint64_t> markUs_;
  std::vector<std::uint32_t> sleeps_;
};

}  // namespace ql::testing_support
