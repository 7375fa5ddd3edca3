// What the Windows clock does with the system's timers, for its tests: the
// pause with either kind of timer, and which kind this thread has.
#pragma once

#include <chrono>

namespace ql::link {

enum class PauseTimer {
  // A waitable timer created high-resolution: it fires within a fraction of
  // a millisecond of its time, whatever the system's timer tick.
  HighResolution,
  // An ordinary waitable timer, with the system's tick raised to 1 ms
  // (timeBeginPeriod) for the rest of the process: without that, Windows'
  // default tick of 15.6 ms would turn each 4 ms pause into about 16 ms.
  TickAtOneMs,
};

// The timer the calling thread's pauses use: high-resolution where the
// system offers it (Windows 10 1803 and later, and Wine), else the other.
PauseTimer ThreadPauseTimer();

// PauseUntil with the given kind of timer. Never returns before `deadline`:
// a timer that fires early is set again for the rest.
void PauseUntil(std::chrono::steady_clock::time_point deadline, PauseTimer kind);

}  // namespace ql::link
