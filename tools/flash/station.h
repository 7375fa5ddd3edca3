// Automatic mode (--repeat): one station, that is one link, upgrading one
// unit after another. It looks for a unit with a quiet handshake at most
// every 500 ms, runs the connect procedure and the upgrade sequence on the
// unit that answers, exactly as a single run does, then looks until that
// unit has been taken away before it waits for the next.
//
// When is a unit taken away? Every unit of the model reports the same device
// information, and a unit's own may change with its new firmware, so the
// answer tells nothing about which unit gave it: only silence can. A unit
// counts as gone after four looks in a row have gone unanswered (1.5 s at
// one look every 500 ms), so a reply lost on a noisy line never makes the
// unit in place look new. A unit told to run its new firmware restarts and
// is silent meanwhile (the emulator: 3 s); the program has already waited
// the 7 s the device is given for that, and until the unit has answered once
// more its silence counts only from 8 s after the end of its upgrade (15 s
// after the run command), so a slow restart is never taken for a new unit.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "link/clock.h"
#include "link/exchange_observer.h"
#include "link/link.h"
#include "link/link_settings.h"
#include "upgrade/procedures.h"

namespace ql::flash {

// At most one look for a unit in this time, start to start.
inline constexpr std::uint32_t kPollPeriodMs = 500;
// Unanswered looks in a row after which a unit counts as taken away.
inline constexpr int kGoneAfterMissedPolls = 4;
// After an upgrade that told the unit to run: how long from its end the
// unit's silence is still taken for its restart, unless it answers first.
inline constexpr std::uint32_t kRestartGraceMs = 8000;

// Decides, look by look, when the unit in place has been taken away.
class RemovalWatch {
 public:
  // The unit's procedures ended at `endedMs`; `toldToRun`: the unit was told
  // to run its new firmware, and so restarts.
  RemovalWatch(std::uint32_t endedMs, bool toldToRun);

  // A look at `atMs`; true once the unit counts as taken away.
  bool Look(std::uint32_t atMs, bool answered);

 private:
  std::uint32_t endedMs_;
  bool restarting_;
  int missed_ = 0;
};

// Pauses that end early when the program is told to stop. Wakes nobody
// while no stop comes: a station that waits for hours sleeps.
class StopWait {
 public:
  explicit StopWait(const std::atomic<bool>& stop) : stop_(stop) {}

  // Waits `ms` milliseconds; false, at once, when a stop was requested
  // before or during the wait.
  bool PauseMs(std::uint32_t ms);

  // Call after setting the stop flag: ends every pause in progress.
  void Wake();

 private:
  const std::atomic<bool>& stop_;
  std::mutex mutex_;
  std::condition_variable woken_;
};

enum class StationState {
  WaitingForUnit,  // looking for a unit to upgrade
  RemoveUnit,      // the unit's upgrade has ended; looking until it is gone
};

// How one unit's run ended, as the station needs to know it.
struct UnitEnd {
  bool interrupted = false;  // a stop cut it short: the station ends
  bool toldToRun = false;    // the run command was sent
};

struct Station {
  std::string deviceId;
  link::LinkSettings link;
  link::Clock& clock;
  link::LinkOpener openLink;  // for the looks
  link::ExchangeObserver* observer = nullptr;
  const std::atomic<bool>* stopRequested = nullptr;
  // Pauses for `ms` unless a stop comes first; false once it has.
  std::function<bool(std::uint32_t ms)> pause;
  // Told the state as it begins (no look yet) and after each look.
  std::function<void(StationState state, std::optional<upgrade::PollResult> look)> show;
  // Runs the connect procedure and the upgrade on unit `number` of this
  // station, which answered with `deviceInfo`.
  std::function<UnitEnd(int number, const std::string& deviceInfo)> runUnit;
};

// Runs the station until a stop is requested. Returns the number of units
// it ran.
int RunStation(const Station& station);

}  // namespace ql::flash
