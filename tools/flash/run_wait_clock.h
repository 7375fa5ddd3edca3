// The clock a device's procedures run on from the command line: the system's,
// except for the wait the device needs after the run command, which counts
// down for the operator and ends early when the program is told to stop
// (nothing is sent after it, so cutting it short changes nothing the device
// sees).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

#include "link/clock.h"
#include "upgrade/procedures.h"

namespace ql::flash {

class RunWaitClock final : public link::Clock {
 public:
  // `tick` is told the whole seconds left of the wait as each begins, 0 at
  // its end, and -1 when a stop request ended it early. `waitMs`, when set,
  // replaces the wait's length.
  using Tick = std::function<void(int secondsLeft)>;

  RunWaitClock(link::Clock& base, const upgrade::ProcedureReport& report,
               const std::atomic<bool>& stop, Tick tick, std::optional<std::uint32_t> waitMs);

  std::uint32_t NowMs() override { return base_.NowMs(); }
  void MarkPauseStart() override { base_.MarkPauseStart(); }
  void SleepAfterMarkMs(std::uint32_t ms) override { base_.SleepAfterMarkMs(ms); }
  void SleepMs(std::uint32_t ms) override;

 private:
  link::Clock& base_;
  const upgrade::ProcedureReport& report_;
  const std::atomic<bool>& stop_;
  Tick tick_;
  std::optional<std::uint32_t> waitMs_;
};

}  // namespace ql::flash
