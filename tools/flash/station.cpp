// One station of the automatic mode: looking for units, running them, and
// looking until each has been taken away.
#include "station.h"

#include <chrono>

namespace ql::flash {

RemovalWatch::RemovalWatch(std::uint32_t endedMs, bool toldToRun)
    : endedMs_(endedMs), restarting_(toldToRun) {}

bool RemovalWatch::Look(std::uint32_t atMs, bool answered) {
  if (answered) {
    // Whatever it was doing, the unit is in place and has restarted.
    missed_ = 0;
    restarting_ = false;
    return false;
  }
  ++missed_;
  if (missed_ < kGoneAfterMissedPolls) {
    return false;
  }
  return !restarting_ || link::ElapsedMs(endedMs_, atMs) >= kRestartGraceMs;
}

bool StopWait::PauseMs(std::uint32_t ms) {
  std::unique_lock lock(mutex_);
  const auto stopped = [this] { return stop_.load(std::memory_order_relaxed); };
  return !woken_.wait_for(lock, std::chrono::milliseconds(ms), stopped);
}

void StopWait::Wake() {
  // Under the lock: a pause that has just found no stop is already waiting
  // when the wake comes, so it cannot be missed.
  std::lock_guard lock(mutex_);
  woken_.notify_all();
}

namespace {

class Looker {
 public:
  explicit Looker(const Station& station) : s_(station) {}

  // A look, at most one per period; nullopt once a stop was requested.
  std::optional<upgrade::PollResult> Next(std::string& deviceInfo) {
    if (paced_) {
      const std::uint32_t since = link::ElapsedMs(lastMs_, s_.clock.NowMs());
      if (since < kPollPeriodMs && !s_.pause(kPollPeriodMs - since)) {
        return std::nullopt;
      }
    }
    if (Stopped()) {
      return std::nullopt;
    }
    lastMs_ = s_.clock.NowMs();
    paced_ = true;
    const auto result =
        upgrade::PollDevice(s_.deviceId, s_.link, s_.openLink, s_.clock, s_.observer, deviceInfo);
    // A unit found as the stop came is left alone.
    if (Stopped()) {
      return std::nullopt;
    }
    return result;
  }

  // The station has just talked to the unit: the next look a period later.
  void TalkedAt(std::uint32_t ms) {
    lastMs_ = ms;
    paced_ = true;
  }

 private:
  bool Stopped() const {
    return s_.stopRequested != nullptr && s_.stopRequested->load(std::memory_order_relaxed);
  }

  const Station& s_;
  std::uint32_t lastMs_ = 0;
  bool paced_ = false;
};

}  // namespace

int RunStation(const Station& station) {
  Looker looker(station);
  int units = 0;
  for (;;) {
    station.show(StationState::WaitingForUnit, std::nullopt);
    std::string deviceInfo;
    for (;;) {
      const auto look = looker.Next(deviceInfo);
      if (!look) {
        return units;
      }
      station.show(StationState::WaitingForUnit, look);
      if (*look == upgrade::PollResult::Answered) {
        break;
      }
    }

    const UnitEnd end = station.runUnit(++units, deviceInfo);
    if (end.interrupted) {
      return units;
    }

    const std::uint32_t endedMs = station.clock.NowMs();
    looker.TalkedAt(endedMs);
    station.show(StationState::RemoveUnit, std::nullopt);
    RemovalWatch watch(endedMs, end.toldToRun);
    for (;;) {
      std::string ignored;
      const auto look = looker.Next(ignored);
      if (!look) {
        return units;
      }
      station.show(StationState::RemoveUnit, look);
      if (watch.Look(station.clock.NowMs(), *look == upgrade::PollResult::Answered)) {
        break;
      }
    }
  }
}

}  // namespace ql::flash
