// One station of the automatic mode on the virtual clock, against units that
// come and go on a scripted link: which units are upgraded (each once, the
// one in place never twice), how a restart after the run command, lost
// replies and a loose fixture are told from a unit taken away, a swap of a
// second or to other firmware, the pace of the looks, and stopping while
// waiting, while a unit runs and as a unit answers.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "link/frame.h"
#include "station.h"
#include "support/scripted_transport.h"
#include "support/virtual_clock.h"

namespace ql::flash {
namespace {

using testing_support::Arrival;
using testing_support::ArriveAfter;
using testing_support::ScriptedTransport;
using testing_support::VirtualClock;

// When a unit sits at the station, in virtual milliseconds, and the device
// information it answers with (units of the same firmware all answer alike).
struct Stay {
  std::uint32_t from = 0;
  std::uint32_t until = 0;
  std::string info = "QL480TX-V5      ";
};

// Units at a station on a TCP link: while none is there the link cannot be
// opened (the connection is refused); a unit there answers every handshake,
// except those listed as lost and while it restarts after its upgrade.
class Line {
 public:
  explicit Line(std::vector<Stay> stays) : stays_(std::move(stays)) {}

  Station MakeStation() {
    Station s{"0001", {}, clock_, Opener(), nullptr, &stop_, {}, {}, {}, {}};
    s.link.linkKind = link::LinkKind::Tcp;
    s.pause = [this](std::uint32_t ms) {
      if (stop_) {
        return false;
      }
      pauses_.push_back(ms);
      clock_.Advance(ms);
      if (stopAtMs_ && clock_.NowMs() >= *stopAtMs_) {
        stop_ = true;
      }
      return !stop_.load();
    };
    s.show = [this](StationState state, std::optional<upgrade::PollResult> look) {
      shown_.push_back(state);
      if (look) {
        looks_.push_back({clock_.NowMs(), *look});
      }
      if (stopAtMs_ && clock_.NowMs() >= *stopAtMs_) {
        stop_ = true;
      }
    };
    s.runUnit = [this](int number, const std::string& info) {
      runs_.push_back({number, Present(), clock_.NowMs(), info});
      if (stopDuringUnit_ == number) {
        stop_ = true;
        return UnitEnd{true, false};
      }
      clock_.Advance(upgradeMs_);
      restartUntil_ = clock_.NowMs() + restartAfterMs_;
      return UnitEnd{false, toldToRun_};
    };
    s.afterUnit = [this](int number, const std::optional<std::string>& info) {
      afters_.push_back({number, info, clock_.NowMs()});
    };
    return s;
  }

  // The index of the unit in place, -1 for none (also while the fixture has
  // dropped out).
  int Present() {
    const std::uint32_t now = clock_.NowMs();
    if (dropoutEveryMs_ > 0 && now % dropoutEveryMs_ < dropoutMs_) {
      return -1;
    }
    for (std::size_t i = 0; i < stays_.size(); ++i) {
      if (stays_[i].from <= now && now < stays_[i].until) {
        return static_cast<int>(i);
      }
    }
    return -1;
  }

  struct Run {
    int number;
    int unit;  // which stay was in place
    std::uint32_t atMs;
    std::string info;
  };
  struct Look {
    std::uint32_t atMs;
    upgrade::PollResult result;
  };
  struct After {
    int number;
    std::optional<std::string> info;
    std::uint32_t atMs;
  };

  VirtualClock clock_;
  std::atomic<bool> stop_{false};
  std::optional<std::uint32_t> stopAtMs_;
  int stopDuringUnit_ = 0;
  std::uint32_t upgradeMs_ = 3000;
  std::uint32_t restartAfterMs_ = 0;  // silence after the upgrade's end
  bool toldToRun_ = true;
  std::set<int> lostHandshakes_;  // by index, counting every handshake sent
  // A loose fixture: the link is gone for dropoutMs_ of every dropoutEveryMs_.
  std::uint32_t dropoutEveryMs_ = 0;
  std::uint32_t dropoutMs_ = 0;
  bool refusesWhileRestarting_ = false;
  // A serial port: it opens with no unit there, and nothing answers.
  bool opensWithoutAUnit_ = false;
  std::vector<Run> runs_;
  std::vector<Look> looks_;
  std::vector<After> afters_;
  std::vector<StationState> shown_;
  std::vector<std::uint32_t> pauses_;
  std::vector<std::uint32_t> handshakeMs_;
  int opens_ = 0;
  int closes_ = 0;

 private:
  link::LinkOpener Opener() {
    return [this](const link::LinkSettings&, std::string&) -> std::unique_ptr<link::Transport> {
      if ((Present() < 0 && !opensWithoutAUnit_) ||
          (refusesWhileRestarting_ && clock_.NowMs() < restartUntil_)) {
        return nullptr;
      }
      ++opens_;
      auto link = std::make_unique<ClosingLink>(clock_, closes_);
      link->SetResponder([this](const std::vector<std::uint8_t>&) -> std::vector<Arrival> {
        // A stop may come while a look is under way.
        if (stopAtMs_ && clock_.NowMs() >= *stopAtMs_) {
          stop_ = true;
        }
        const int index = static_cast<int>(handshakeMs_.size());
        handshakeMs_.push_back(clock_.NowMs());
        if (Present() < 0 || lostHandshakes_.count(index) != 0 || clock_.NowMs() < restartUntil_) {
          return {};
        }
        const std::string& info = stays_[static_cast<std::size_t>(Present())].info;
        return {ArriveAfter(3, link::BuildReply("0001Zx" + info.substr(0, 16)))};
      });
      return link;
    };
  }

  // Counts closes, so a test can see every look close its link.
  class ClosingLink final : public link::Transport {
   public:
    ClosingLink(VirtualClock& clock, int& closes)
        : inner_(clock, link::LinkKind::Tcp), closes_(closes) {}
    ~ClosingLink() override { Close(); }
    void SetResponder(ScriptedTransport::Responder r) { inner_.SetResponder(std::move(r)); }
    link::LinkKind Kind() const override { return link::LinkKind::Tcp; }
    link::WriteResult Write(std::span<const std::uint8_t> bytes) override {
      return inner_.Write(bytes);
    }
    link::ReadResult Read(std::span<std::uint8_t> into, std::chrono::microseconds wait) override {
      return inner_.Read(into, wait);
    }
    std::string GoneReason() const override { return inner_.GoneReason(); }
    std::chrono::nanoseconds CharacterTime() const override { return inner_.CharacterTime(); }
    bool InputWaiting() override { return inner_.InputWaiting(); }
    void Close() override {
      if (!closed_) {
        closed_ = true;
        ++closes_;
      }
    }

   private:
    ScriptedTransport inner_;
    int& closes_;
    bool closed_ = false;
  };

  std::vector<Stay> stays_;
  std::uint32_t restartUntil_ = 0;
};

std::vector<int> UnitsRun(const Line& line) {
  std::vector<int> units;
  for (const auto& run : line.runs_) {
    units.push_back(run.unit);
  }
  return units;
}

TEST(Station, EachUnitIsUpgradedOnceInTurnAndTheOneInPlaceNeverAgain) {
  // Three units, each left in place well after its upgrade; the last one
  // for ten minutes.
  Line line({{1000, 9000}, {12000, 20000}, {23000, 623000}});
  line.stopAtMs_ = 630000;
  const Station station = line.MakeStation();

  EXPECT_EQ(RunStation(station), 3);

  EXPECT_EQ(UnitsRun(line), (std::vector<int>{0, 1, 2}));
  for (std::size_t i = 0; i < line.runs_.size(); ++i) {
    EXPECT_EQ(line.runs_[i].number, static_cast<int>(i) + 1);
    EXPECT_EQ(line.runs_[i].info, "QL480TX-V5      ");
  }
  // Found within a look of arriving.
  EXPECT_LE(line.runs_[0].atMs, 1000u + 500u + 110u);
  EXPECT_LE(line.runs_[1].atMs, 12000u + 500u + 110u);
  EXPECT_EQ(line.opens_, line.closes_) << "every look closes its link";
}

TEST(Station, LooksComeEveryHalfSecondWhileWaitingAndMoreOftenWhileAUnitIsInPlace) {
  Line line({{2000, 600000}});
  line.stopAtMs_ = 600000;
  const Station station = line.MakeStation();
  RunStation(station);

  ASSERT_EQ(line.runs_.size(), 1u);
  const std::uint32_t upgradeEnd = line.runs_[0].atMs + line.upgradeMs_;
  for (std::size_t i = 1; i < line.handshakeMs_.size(); ++i) {
    const std::uint32_t gap = line.handshakeMs_[i] - line.handshakeMs_[i - 1];
    EXPECT_GE(gap, line.handshakeMs_[i] < upgradeEnd ? 500u : kLeavingPollPeriodMs) << i;
  }
  // About ten minutes at one look every 150 ms after the upgrade.
  EXPECT_GE(line.handshakeMs_.size(), 3950u);
  EXPECT_LE(line.handshakeMs_.size(), 3980u);
  for (const std::uint32_t pause : line.pauses_) {
    EXPECT_LE(pause, 500u);
    EXPECT_GT(pause, 0u);
  }
}

TEST(Station, LostRepliesALooseFixtureAndASlowRestartAreNotANewUnit) {
  struct Case {
    const char* name;
    std::set<int> lost;
    std::uint32_t restartAfterMs;
    bool refusesWhileRestarting;
    std::uint32_t dropoutEveryMs;
  };
  // Handshake 0 finds the unit; the looks after its upgrade start at 1.
  const Case cases[] = {
      {"one reply lost", {3}, 0, false, 0},
      {"two in a row lost, twice", {2, 3, 8, 9}, 0, false, 0},
      {"a restart silent for 20 s", {}, 20000, false, 0},
      {"a restart refusing the link for 20 s, then a lost reply", {130}, 20000, true, 0},
      {"the link gone for 300 ms of every 800 ms", {}, 0, false, 800},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Line line({{0, 60000}});
    line.lostHandshakes_ = c.lost;
    line.restartAfterMs_ = c.restartAfterMs;
    line.refusesWhileRestarting_ = c.refusesWhileRestarting;
    line.dropoutEveryMs_ = c.dropoutEveryMs;
    line.dropoutMs_ = 300;
    line.stopAtMs_ = 60000;
    const Station station = line.MakeStation();
    EXPECT_EQ(RunStation(station), 1);
    EXPECT_EQ(UnitsRun(line), (std::vector<int>{0}));
  }
}

TEST(Station, AUnitTakenAwayForASecondIsGoneAndTheNextOneUpgraded) {
  // Unit 0 is found by the first look (at 0 ms, answered at 103 ms) and its
  // upgrade takes 3 s.
  constexpr std::uint32_t kEnd = 103 + 3000;
  struct Case {
    const char* name;
    bool toldToRun;
    std::uint32_t leavesAfterEnd;
    std::uint32_t nextAfterEnd;  // when the next unit is put in place
  };
  const Case cases[] = {
      {"failed unit, taken away after 5 s", false, 5000, 5000 + 1000},
      {"upgraded unit, taken away after it answered", true, 5000, 5000 + 1000},
      {"upgraded unit, taken away after 10 minutes", true, 600000, 600000 + 1000},
      // Never answered after its run: its silence counts only once the
      // grace for a restart is over.
      {"upgraded unit, taken away at once", true, 100, kRestartGraceMs + 500},
  };
  for (const Case& c : cases) {
    // The link refused while no unit is there (a device server), or open
    // and silent (a serial port), where each unanswered look lasts 400 ms.
    for (const bool serial : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (serial ? ", serial" : ", tcp"));
      const std::uint32_t until = kEnd + c.nextAfterEnd + 20000;
      Line line({{0, kEnd + c.leavesAfterEnd}, {kEnd + c.nextAfterEnd, until}});
      line.toldToRun_ = c.toldToRun;
      line.opensWithoutAUnit_ = serial;
      line.stopAtMs_ = until;
      const Station station = line.MakeStation();
      EXPECT_EQ(RunStation(station), 2);
      ASSERT_EQ(UnitsRun(line), (std::vector<int>{0, 1}));
      // Found within a look of being put in place.
      EXPECT_LE(line.runs_[1].atMs, kEnd + c.nextAfterEnd + 500 + 410);
    }
  }
}

TEST(Station, AUnitWithOtherFirmwareIsANewUnitAtOnce) {
  // Swapped with no absence the station can see: the new unit answers with
  // the older firmware's information.
  Line line({{0, 8000}, {8000, 30000, "QL480TX-V5 0.99 "}});
  line.stopAtMs_ = 30000;
  const Station station = line.MakeStation();
  EXPECT_EQ(RunStation(station), 2);
  ASSERT_EQ(UnitsRun(line), (std::vector<int>{0, 1}));
  EXPECT_LE(line.runs_[1].atMs, 8000u + 200u + 110u);
  EXPECT_EQ(line.runs_[1].info, "QL480TX-V5 0.99 ");
}

TEST(Station, AUnitSwappedWithinTheGraceIsTakenForTheRestartedOne) {
  // The rule's price: a unit put in place before the unit upgraded last has
  // answered again is taken for it and not upgraded; the station still asks
  // for the removal.
  Line line({{0, 3200}, {4200, 30000}});
  line.restartAfterMs_ = 3000;
  line.stopAtMs_ = 30000;
  const Station station = line.MakeStation();
  EXPECT_EQ(RunStation(station), 1);
  EXPECT_EQ(line.shown_.back(), StationState::RemoveUnit);
}

TEST(Station, EachUnitIsToldOnceWhatItAnsweredAfterItsRunBeforeTheNextRuns) {
  // Unit 1 answers after its restart of 2 s with new information; unit 2 is
  // taken away during its restart and never answers; the stop comes during
  // unit 3's restart.
  Line line({{0, 10000, "QL480TX-V5 1.02 "}, {12000, 16500}, {80000, 100000}});
  line.restartAfterMs_ = 2000;
  line.stopAtMs_ = 84500;
  const Station station = line.MakeStation();
  EXPECT_EQ(RunStation(station), 3);

  ASSERT_EQ(line.afters_.size(), 3u);
  EXPECT_EQ(line.afters_[0].number, 1);
  EXPECT_EQ(line.afters_[0].info, "QL480TX-V5 1.02 ");
  EXPECT_GE(line.afters_[0].atMs, line.runs_[0].atMs + line.upgradeMs_ + 2000);
  EXPECT_EQ(line.afters_[1].number, 2);
  EXPECT_EQ(line.afters_[1].info, std::nullopt);
  EXPECT_EQ(line.afters_[2].number, 3);
  EXPECT_EQ(line.afters_[2].info, std::nullopt);
  for (std::size_t i = 0; i + 1 < line.runs_.size(); ++i) {
    EXPECT_LE(line.afters_[i].atMs, line.runs_[i + 1].atMs) << "unit " << i + 1;
  }
}

TEST(Station, ShowsWaitingAndRemoveAsEachBegins) {
  Line line({{2000, 7000}});
  line.toldToRun_ = false;
  line.stopAtMs_ = 12000;
  const Station station = line.MakeStation();
  RunStation(station);
  ASSERT_EQ(line.runs_.size(), 1u);
  // Waiting, then Remove, then Waiting again: each change of state once, in
  // that order.
  std::vector<StationState> changes;
  for (const StationState s : line.shown_) {
    if (changes.empty() || changes.back() != s) {
      changes.push_back(s);
    }
  }
  EXPECT_EQ(changes,
            (std::vector<StationState>{StationState::WaitingForUnit, StationState::RemoveUnit,
                                       StationState::WaitingForUnit}));
  // Before the unit came, the link could not be opened.
  ASSERT_FALSE(line.looks_.empty());
  EXPECT_EQ(line.looks_.front().result, upgrade::PollResult::LinkNotOpened);
}

TEST(Station, AStopEndsTheStationWhereverItIs) {
  struct Case {
    const char* name;
    std::vector<Stay> stays;
    std::optional<std::uint32_t> stopAtMs;
    int stopDuringUnit;
    int units;
  };
  const Case cases[] = {
      {"while waiting for a unit", {}, 5000, 0, 0},
      {"while a unit runs", {{0, 60000}}, std::nullopt, 1, 1},
      {"while waiting for the unit's removal", {{0, 60000}}, 9000, 0, 1},
      // The stop comes with the look that finds the unit: it is not run.
      {"as a unit answers", {{1000, 60000}}, 1100, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Line line(c.stays);
    line.stopAtMs_ = c.stopAtMs;
    line.stopDuringUnit_ = c.stopDuringUnit;
    const Station station = line.MakeStation();
    EXPECT_EQ(RunStation(station), c.units);
    EXPECT_EQ(static_cast<int>(line.runs_.size()), c.units);
    EXPECT_EQ(static_cast<int>(line.afters_.size()), c.units) << "each unit run is told once";
    if (c.stopAtMs) {
      // Ended within a look of the stop.
      EXPECT_LE(line.clock_.NowMs(), *c.stopAtMs + 500u);
    }
  }
}

}  // namespace
}  // namespace ql::flash
