// One station of the automatic mode: looking for units, running them, and
// looking until each has been taken away.
#include "station.h"

#include <chrono>
#include <utility>

namespace ql::flash {

RemovalWatch::RemovalWatch(std::uint32_t endedMs, bool toldToRun)
    : endedMs_(endedMs), restarting_(toldToRun), lastAnswerMs_(endedMs) {}

RemovalWatch::Verdict RemovalWatch::Look(std::uint32_t atMs, bool answered,
                                         const std::string& deviceInfo) {
  if (answered) {
    // Whatever it was doing, a unit is in place and has restarted.
    missed_ = 0;
    restarting_ = false;
    lastAnswerMs_ = atMs;
    if (!infoAfter_) {
      infoAfter_ = deviceInfo;
    }
    return deviceInfo == *infoAfter_ ? Verdict::InPlace : Verdict::NewUnit;
  }
  ++missed_;
  if (restarting_) {
    return link::ElapsedMs(endedMs_, atMs) >= kRestartGraceMs ? Verdict::Gone : Verdict::InPlace;
  }
  return missed_ >= kGoneAfterMissedPolls &&
                 link::ElapsedMs(lastAnswerMs_, atMs) >= kGoneAfterSilentMs
             ? Verdict::Gone
             : Verdict::InPlace;
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

  // A look, at most one per `periodMs`; nullopt once a stop was requested.
  std::optional<upgrade::PollResult> Next(std::uint32_t periodMs, std::string& deviceInfo) {
    if (paced_) {
      const std::uint32_t since = link::ElapsedMs(lastMs_, s_.clock.NowMs());
      if (since < periodMs && !s_.pause(periodMs - since)) {
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

  // When the last look started.
  std::uint32_t LastMs() const { return lastMs_; }

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
  std::string deviceInfo;
  bool found = false;  // a unit answered in place of the last one
  for (;;) {
    if (!found) {
      station.show(StationState::WaitingForUnit, std::nullopt);
      for (;;) {
        const auto look = looker.Next(kPollPeriodMs, deviceInfo);
        if (!look) {
          return units;
        }
        station.show(StationState::WaitingForUnit, look);
        if (*look == upgrade::PollResult::Answered) {
          break;
        }
      }
    }

    const UnitEnd end = station.runUnit(++units, deviceInfo);
    // What the unit answers after its run, told once.
    bool told = false;
    auto tell = [&station, &told, units](const std::optional<std::string>& infoAfter) {
      if (!std::exchange(told, true) && station.afterUnit) {
        station.afterUnit(units, infoAfter);
      }
    };
    if (end.interrupted) {
      tell(std::nullopt);
      return units;
    }

    const std::uint32_t endedMs = station.clock.NowMs();
    looker.TalkedAt(endedMs);
    station.show(StationState::RemoveUnit, std::nullopt);
    RemovalWatch watch(endedMs, end.toldToRun);
    for (;;) {
      const auto look = looker.Next(kLeavingPollPeriodMs, deviceInfo);
      if (!look) {
        tell(std::nullopt);
        return units;
      }
      station.show(StationState::RemoveUnit, look);
      const bool answered = *look == upgrade::PollResult::Answered;
      if (answered) {
        // The first answer is the unit's own: another unit is told apart
        // only by answering otherwise than this.
        tell(deviceInfo);
      }
      const auto verdict = watch.Look(looker.LastMs(), answered, deviceInfo);
      if (verdict != RemovalWatch::Verdict::InPlace) {
        tell(std::nullopt);
        found = verdict == RemovalWatch::Verdict::NewUnit;
        break;
      }
    }
  }
}

}  // namespace ql::flash
