// Automatic mode (--repeat): one station, that is one link, upgrading one
// unit after another. It looks for a unit with a quiet handshake at most
// every 500 ms, runs the connect procedure and the upgrade sequence on the
// unit that answers, exactly as a single run does, then looks until that
// unit has been taken away before it waits for the next.
//
// When is a unit taken away? Every unit of a model running the same firmware
// reports the same device information, so while the unit in place answers as
// it did after its upgrade, only silence can tell: the station then looks at
// most every 150 ms, and a unit counts as gone once it has not answered for
// 600 ms over at least three looks in a row. A fixture swap of a second is
// seen; a loose fixture that drops out for a few hundred milliseconds, or two
// replies in a row lost on a noisy line, is not a new unit. A unit that answers with
// other device information than the unit in place gave after its upgrade (a
// fresh unit carries the older firmware) is a new unit at once. A unit told
// to run its new firmware restarts and is silent, or its link refuses,
// meanwhile: until it has answered once more its silence is its restart, for
// up to a minute, so a slow restart is never taken for a new unit.
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
// While the unit in place may be leaving: at most one look in this time. A
// look at a unit that has gone lasts up to 400 ms on a serial line (the
// pause before the handshake and its reply window), so three of them still
// fit into an absence of a second.
inline constexpr std::uint32_t kLeavingPollPeriodMs = 150;
// The unit in place counts as taken away once it has not answered for this
// long, from its last answer to the start of a look it did not answer, and
// over this many unanswered looks in a row.
inline constexpr std::uint32_t kGoneAfterSilentMs = 600;
inline constexpr int kGoneAfterMissedPolls = 3;
// After an upgrade that told the unit to run: how long from its end the
// unit's silence is still taken for its restart, unless it answers first.
inline constexpr std::uint32_t kRestartGraceMs = 60000;

// Decides, look by look, when the unit in place has been taken away.
class RemovalWatch {
 public:
  enum class Verdict {
    InPlace,  // the unit in place, or no telling yet
    Gone,     // taken away: wait for the next unit
    NewUnit,  // another unit answered in its place: upgrade it now
  };

  // The unit's procedures ended at `endedMs`; `toldToRun`: the unit was told
  // to run its new firmware, and so restarts.
  RemovalWatch(std::uint32_t endedMs, bool toldToRun);

  // A look that started at `atMs`; `deviceInfo` is what an answer carried.
  Verdict Look(std::uint32_t atMs, bool answered, const std::string& deviceInfo);

 private:
  std::uint32_t endedMs_;
  bool restarting_;
  std::uint32_t lastAnswerMs_;
  std::optional<std::string> infoAfter_;  // the first answer after the upgrade
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
  // Told once for every unit run, before the next unit runs and before the
  // station ends: the device information of the first look the unit
  // answered after its run (after its restart, when it was told to run), or
  // nullopt when it was taken away, or the station stopped, before it
  // answered. May be empty.
  std::function<void(int number, const std::optional<std::string>& infoAfter)> afterUnit;
};

// Runs the station until a stop is requested. Returns the number of units
// it ran.
int RunStation(const Station& station);

}  // namespace ql::flash
