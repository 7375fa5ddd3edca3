// ql480tx-flash --repeat as a production line runs it: emulated units put on
// a station and taken away again (an emulator stopped, a new one with an
// erased flash started on the same TCP port or pseudo-terminal link), over
// TCP on 127.0.0.1 and over a pseudo-terminal, two stations at once; a unit
// that fails verification, one left in place through its restart, quick
// swaps (a second away, or no absence but other firmware), a loose fixture
// and half a minute in place, a stop while waiting and while a unit is
// written, and the station log a stop leaves.
#include <signal.h>

#include <QJsonObject>
#include <QString>
#include <map>
#include <optional>
#include <regex>
#include <sstream>

#include "program_fixture.h"

namespace ql::flash {
namespace {

namespace fs = std::filesystem;

const std::string kShortRunWait = "QL480TX_FLASH_RUN_WAIT_MS=300";

// The lines of `out` that belong to `device` and contain `part`.
int CountLines(const std::string& out, const std::string& device, const std::string& part) {
  std::istringstream in(out);
  std::string line;
  int count = 0;
  const std::string tag = "{\"device\":\"" + device + "\"";
  while (std::getline(in, line)) {
    if (line.rfind(tag, 0) == 0 && line.find(part) != std::string::npos) {
      ++count;
    }
  }
  return count;
}

int Units(const std::string& out, const std::string& device) {
  return CountLines(out, device, "\"event\":\"unit\"");
}

int WaitingNotes(const std::string& out, const std::string& device) {
  return CountLines(out, device, "\"text\":\"Waiting for a unit\"");
}

std::vector<QJsonObject> Events(const std::vector<QJsonObject>& lines, const std::string& device,
                                const char* event) {
  std::vector<QJsonObject> found;
  for (const auto& line : lines) {
    if (line["device"].toString().toStdString() == device && line["event"].toString() == event) {
      found.push_back(line);
    }
  }
  return found;
}

// One station: the place where units are put, and the units put there in
// turn, each a fresh emulator with an erased flash.
class Station {
 public:
  Station(sim::LinkType type, fs::path ptyLink) : type_(type), ptyLink_(std::move(ptyLink)) {}

  // Puts a new unit in place; `change` adjusts its configuration.
  void Plug(const std::function<void(sim::SimConfig&)>& change = {}) {
    sim::SimConfig config;
    config.link.type = type_;
    config.link.port = port_;
    config.link.ptyLink = type_ == sim::LinkType::Pty ? ptyLink_.string() : "";
    config.device.rebootSilence = std::chrono::milliseconds(200);
    if (change) {
      change(config);
    }
    unit_ = std::make_unique<sim::Emulator>(config);
    std::string error;
    ASSERT_TRUE(unit_->Start(error)) << error;
    port_ = unit_->Port();
  }

  // Takes the unit away, keeping what it ended with.
  void Unplug() {
    flashes_.push_back(unit_->Flash());
    counters_.push_back(unit_->GetCounters());
    unit_->Stop();
    unit_.reset();
  }

  // How the program names the station, and the option that gives it.
  std::string Label() const {
    return type_ == sim::LinkType::Tcp ? "127.0.0.1:" + std::to_string(port_) : ptyLink_.string();
  }
  std::vector<std::string> Option() const {
    return {type_ == sim::LinkType::Tcp ? "--tcp" : "--serial", Label()};
  }

  sim::Emulator* unit() const { return unit_.get(); }
  const std::vector<std::vector<std::uint8_t>>& flashes() const { return flashes_; }
  const std::vector<sim::Counters>& counters() const { return counters_; }

 private:
  sim::LinkType type_;
  fs::path ptyLink_;
  std::uint16_t port_ = 0;
  std::unique_ptr<sim::Emulator> unit_;
  std::vector<std::vector<std::uint8_t>> flashes_;
  std::vector<sim::Counters> counters_;
};

// What an operator does at a station: waits for each unit's line, takes the
// unit away (an upgraded one once it answers again after its restart, as it
// does when the operator sees the line), and puts the next one in once the
// station waits again.
class Operator {
 public:
  Operator(Station& station, int units, std::vector<std::function<void(sim::SimConfig&)>> faults)
      : station_(station), units_(units), faults_(std::move(faults)) {}

  void Start() { station_.Plug(Fault(0)); }

  // Called with the program's output so far; true once every unit is done.
  bool Step(const std::string& out) {
    const std::string label = station_.Label();
    if (station_.unit() != nullptr) {
      if (Units(out, label) < done_ + 1) {
        return false;
      }
      const sim::Counters c = station_.unit()->GetCounters();
      // Upgraded: a look answered after the restart (the look that found it,
      // the connect and the two of the upgrade come first).
      const bool restarted = c.runs == 1 && c.handshakes >= 5;
      if (c.runs == 0 || restarted) {
        station_.Unplug();
        ++done_;
      }
      return false;
    }
    if (done_ == units_) {
      return true;
    }
    if (WaitingNotes(out, label) >= done_ + 1) {
      station_.Plug(Fault(done_));
    }
    return false;
  }

 private:
  std::function<void(sim::SimConfig&)> Fault(int unit) const {
    return unit < static_cast<int>(faults_.size()) ? faults_[static_cast<std::size_t>(unit)]
                                                   : nullptr;
  }

  Station& station_;
  int units_;
  std::vector<std::function<void(sim::SimConfig&)>> faults_;
  int done_ = 0;
};

// Whether the unit upgraded last has answered a look after its restart: the
// look that found it, the connect's and the upgrade's two handshakes come
// before.
bool AnsweredAfterRestart(const sim::Emulator& unit) {
  const sim::Counters c = unit.GetCounters();
  return c.runs == 1 && c.handshakes >= 5;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class RepeatTest : public FlashProgramTest {
 protected:
  // The program on `station` with --json, `act` called with its output about
  // every 10 ms until it returns true; then the program is stopped with
  // SIGINT.
  ProgramRun RunStationUntil(const Station& station, const fs::path& file,
                             const std::function<bool(const std::string& out)>& act) {
    RunSetup setup;
    setup.args = {"--repeat", "--json"};
    const auto option = station.Option();
    setup.args.insert(setup.args.end(), option.begin(), option.end());
    setup.args.push_back(file.string());
    setup.configHome = Config();
    setup.env = {kShortRunWait};
    setup.limit = std::chrono::seconds(90);
    bool stopped = false;
    setup.during = [&](pid_t pid, const std::string& out, const std::string&) {
      if (!stopped && act(out)) {
        kill(pid, SIGINT);
        stopped = true;
      }
    };
    return RunFlash(setup);
  }

  // Runs the program on `stations` with `operators` at work, and stops it
  // with SIGINT once every operator is done.
  ProgramRun RunLine(const std::vector<Station*>& stations, std::vector<Operator>& operators,
                     const fs::path& file) {
    for (auto& o : operators) {
      o.Start();
    }
    RunSetup setup;
    setup.args = {"--repeat", "--json"};
    for (const Station* s : stations) {
      const auto option = s->Option();
      setup.args.insert(setup.args.end(), option.begin(), option.end());
    }
    setup.args.push_back(file.string());
    setup.configHome = Config();
    setup.env = {kShortRunWait};
    setup.limit = std::chrono::seconds(60);
    bool stopped = false;
    setup.during = [&](pid_t pid, const std::string& out, const std::string&) {
      bool all = true;
      for (auto& o : operators) {
        all = o.Step(out) && all;
      }
      if (all && !stopped) {
        kill(pid, SIGINT);
        stopped = true;
      }
    };
    return RunFlash(setup);
  }

  bool HoldsImage(const std::vector<std::uint8_t>& flash) const {
    return flash.size() >= image_.size() && std::equal(image_.begin(), image_.end(), flash.begin());
  }
};

TEST_F(RepeatTest, ThreeUnitsInARowOnATcpAndAPseudoTerminalStationAtOnce) {
  const auto file = Firmware(2000);  // 4 blocks
  Station tcp(sim::LinkType::Tcp, {});
  Station pty(sim::LinkType::Pty, dir_ / "station-2");
  std::vector<Operator> operators = {{tcp, 3, {}}, {pty, 3, {}}};
  const auto run = RunLine({&tcp, &pty}, operators, file);

  // Stopped while both stations waited for a unit: every unit succeeded.
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  const auto lines = JsonLines(run.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front()["event"].toString(), "start");
  EXPECT_TRUE(lines.front()["repeat"].toBool());
  for (const Station* s : {&tcp, &pty}) {
    SCOPED_TRACE(s->Label());
    ASSERT_EQ(s->flashes().size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_TRUE(HoldsImage(s->flashes()[i])) << "unit " << i + 1;
      // Written once and told to run once: never upgraded twice.
      EXPECT_EQ(s->counters()[i].writes, 4u) << "unit " << i + 1;
      EXPECT_EQ(s->counters()[i].runs, 1u) << "unit " << i + 1;
    }
    const auto units = Events(lines, s->Label(), "unit");
    ASSERT_EQ(units.size(), 3u);
    for (int i = 0; i < 3; ++i) {
      const QJsonObject& u = units[static_cast<std::size_t>(i)];
      EXPECT_EQ(u["unit"].toInt(), i + 1);
      EXPECT_EQ(u["status"].toInt(), 0);
      EXPECT_EQ(u["outcome"].toString(), "upgrade_ok");
      EXPECT_EQ(u["message"].toString(), "Upgrade ok.");
      EXPECT_EQ(u["device_info"].toString(), "QL480TX-V5      ");
      EXPECT_EQ(u["ok"].toInt(), i + 1);
      EXPECT_EQ(u["failed"].toInt(), 0);
      EXPECT_EQ(u["blocks_programmed"].toInt(), 4);
      EXPECT_EQ(u["blocks_verified"].toInt(), 4);
      EXPECT_GT(u["seconds"].toDouble(), 0.5);
    }
    const auto results = Events(lines, s->Label(), "result");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]["status"].toInt(), 0);
    EXPECT_EQ(results[0]["outcome"].toString(), "stopped");
    EXPECT_EQ(results[0]["units"].toInt(), 3);
    EXPECT_EQ(results[0]["ok"].toInt(), 3);
    EXPECT_EQ(results[0]["failed"].toInt(), 0);
    EXPECT_GT(results[0]["mean_seconds"].toDouble(), 0.5);
  }
}

TEST_F(RepeatTest, AUnitThatFailsVerificationIsReportedAndTheNextStillSucceeds) {
  const auto file = Firmware(2000);
  Station station(sim::LinkType::Tcp, {});
  std::vector<Operator> operators = {{station, 2, {[](sim::SimConfig& c) {
                                        c.faults.storedBitFlips.push_back({1, 5, 0});
                                      }}}};
  const auto run = RunLine({&station}, operators, file);

  EXPECT_EQ(run.status, 7) << "the highest status of any unit\n" << run.out << run.err;
  EXPECT_NE(run.err.find("Verify error! (block 1, address 0200, data differs)"), std::string::npos)
      << run.err;
  ASSERT_EQ(station.flashes().size(), 2u);
  EXPECT_EQ(station.counters()[0].runs, 0u) << "a failed unit is not told to run";
  EXPECT_TRUE(HoldsImage(station.flashes()[1]));
  EXPECT_EQ(station.counters()[1].runs, 1u);

  const auto lines = JsonLines(run.out);
  const auto units = Events(lines, station.Label(), "unit");
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[0]["status"].toInt(), 7);
  EXPECT_EQ(units[0]["outcome"].toString(), "verify_failed");
  EXPECT_EQ(units[0]["message"].toString(), "Verify error!");
  EXPECT_EQ(units[0]["reason"].toString(), "block 1, address 0200, data differs");
  EXPECT_EQ(units[0]["ok"].toInt(), 0);
  EXPECT_EQ(units[0]["failed"].toInt(), 1);
  EXPECT_EQ(units[1]["status"].toInt(), 0);
  EXPECT_EQ(units[1]["ok"].toInt(), 1);
  EXPECT_EQ(units[1]["failed"].toInt(), 1);
  const auto results = Events(lines, station.Label(), "result");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0]["status"].toInt(), 7);
  EXPECT_EQ(results[0]["units"].toInt(), 2);
}

TEST_F(RepeatTest, AUnitLeftInPlaceThroughItsRestartIsNotUpgradedTwice) {
  const auto file = Firmware(2000);
  // The emulator's own restart time: longer than the (shortened) wait after
  // the run command and than four looks, so the unit is silent for several
  // looks after its upgrade and then answers again.
  sim::SimConfig config;
  config.device.rebootSilence = std::chrono::milliseconds(3000);
  sim::Emulator unit(config);
  std::string error;
  ASSERT_TRUE(unit.Start(error)) << error;

  RunSetup setup;
  setup.args = {"--repeat", "--tcp", Tcp(unit), file.string()};
  setup.configHome = Config();
  setup.env = {kShortRunWait};
  bool stopped = false;
  setup.during = [&](pid_t pid, const std::string&, const std::string&) {
    // Four looks answered after the restart: ample time for a rule that took
    // the silence for a removal to have upgraded it again.
    const sim::Counters c = unit.GetCounters();
    if (!stopped && c.runs >= 1 && c.handshakes >= 4 + 4) {
      kill(pid, SIGINT);
      stopped = true;
    }
  };
  const auto run = RunFlash(setup);

  EXPECT_EQ(run.status, 0) << run.out << run.err;
  const sim::Counters c = unit.GetCounters();
  EXPECT_EQ(c.runs, 1u);
  EXPECT_EQ(c.writes, 4u);
  EXPECT_GE(c.ignoredRebooting, 4u) << "looks went unanswered while it restarted";
  EXPECT_NE(run.out.find(": unit 1 (QL480TX-V5): Upgrade ok. in "), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("unit 2"), std::string::npos) << run.out;
  // The summary: one unit, ok.
  EXPECT_TRUE(std::regex_search(run.out, std::regex("device +units +ok +failed +mean s")))
      << run.out;
  EXPECT_TRUE(std::regex_search(run.out, std::regex(Tcp(unit) + " +1 +1 +0 +[0-9]+\\.[0-9]")))
      << run.out;
}

TEST_F(RepeatTest, AStopWhileWaitingEndsWithTheUnitsStatusAndASummary) {
  const auto file = Firmware(2000);
  Station station(sim::LinkType::Pty, dir_ / "empty-station");
  RunSetup setup;
  // No unit ever comes: the pseudo-terminal's link does not exist.
  setup.args = {"--repeat", "--serial", station.Label(), file.string()};
  setup.configHome = Config();
  double signalledAt = -1;
  double waitingAt = -1;
  const auto start = std::chrono::steady_clock::now();
  setup.during = [&](pid_t pid, const std::string& out, const std::string&) {
    const double now =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (waitingAt < 0 && out.find("Waiting for a unit") != std::string::npos) {
      waitingAt = now;
    }
    // A few looks later, in the middle of its waiting.
    if (waitingAt >= 0 && signalledAt < 0 && now - waitingAt > 1.2) {
      kill(pid, SIGINT);
      signalledAt = now;
    }
  };
  const auto run = RunFlash(setup);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  ASSERT_GE(signalledAt, 0);
  EXPECT_TRUE(std::regex_search(run.out, std::regex(station.Label() + " +0 +0 +0 +-"))) << run.out;
  EXPECT_EQ(run.err.find("stopped after"), std::string::npos) << run.err;
}

TEST_F(RepeatTest, AStopWhileAUnitIsWrittenReportsItInterrupted) {
  // A whole flash's worth, so the stop comes mid-programming.
  std::vector<std::uint8_t> image(124 * 512);
  std::mt19937 random(5);
  for (auto& b : image) {
    b = static_cast<std::uint8_t>(random());
  }
  const auto file = FirmwareOf(image);
  for (const auto type : {sim::LinkType::Tcp, sim::LinkType::Pty}) {
    SCOPED_TRACE(type == sim::LinkType::Tcp ? "TCP" : "pty");
    Station station(type, dir_ / "station");
    station.Plug();
    RunSetup setup;
    setup.args = {"--repeat", "--json"};
    const auto option = station.Option();
    setup.args.insert(setup.args.end(), option.begin(), option.end());
    setup.args.push_back(file.string());
    setup.configHome = Config();
    bool sent = false;
    setup.during = [&](pid_t pid, const std::string&, const std::string&) {
      if (!sent && station.unit()->GetCounters().writes >= 10) {
        kill(pid, SIGINT);
        sent = true;
      }
    };
    const auto run = RunFlash(setup);
    EXPECT_EQ(run.status, 130) << run.out << run.err;
    const sim::Counters c = station.unit()->GetCounters();
    EXPECT_EQ(c.runs, 0u);
    const auto lines = JsonLines(run.out);
    const auto units = Events(lines, station.Label(), "unit");
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0]["status"].toInt(), 130);
    EXPECT_EQ(units[0]["outcome"].toString(), "interrupted");
    EXPECT_EQ(units[0]["failed"].toInt(), 1);
    // The unit got exactly the blocks the account names.
    EXPECT_EQ(units[0]["holds"].toString().toStdString(),
              "programming stopped after " + std::to_string(c.writes) +
                  " of 124 blocks: the device holds a partial image and was not told to run it; "
                  "run the upgrade again to complete it");
    const auto results = Events(lines, station.Label(), "result");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]["status"].toInt(), 130);
    EXPECT_EQ(results[0]["outcome"].toString(), "interrupted");
    station.Unplug();
  }
}

// A fixture swap of a second: the station must see the unit gone within the
// second, or the next unit, answering as the last did after its upgrade,
// would be taken for it and never upgraded.
TEST_F(RepeatTest, ASwapWithOneSecondOfAbsenceIsUpgraded) {
  const auto file = Firmware(2000);
  for (const auto type : {sim::LinkType::Tcp, sim::LinkType::Pty}) {
    SCOPED_TRACE(type == sim::LinkType::Tcp ? "TCP" : "pty");
    Station station(type, dir_ / "station");
    station.Plug();
    std::optional<std::chrono::steady_clock::time_point> takenAway;
    const auto run = RunStationUntil(station, file, [&](const std::string& out) {
      if (station.unit() == nullptr) {
        if (SecondsSince(*takenAway) >= 1.0) {
          station.Plug();
        }
        return false;
      }
      if (!AnsweredAfterRestart(*station.unit())) {
        return false;
      }
      if (station.flashes().empty()) {
        station.Unplug();
        takenAway = std::chrono::steady_clock::now();
        return false;
      }
      return Units(out, station.Label()) == 2;
    });
    station.Unplug();

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    ASSERT_EQ(station.flashes().size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_TRUE(HoldsImage(station.flashes()[i])) << "unit " << i + 1;
      EXPECT_EQ(station.counters()[i].writes, 4u) << "unit " << i + 1;
      EXPECT_EQ(station.counters()[i].runs, 1u) << "unit " << i + 1;
    }
    EXPECT_EQ(Units(run.out, station.Label()), 2);
  }
}

// A fresh unit carries older firmware: it answers otherwise than the unit
// upgraded before it, and is a new unit even with no absence at all.
TEST_F(RepeatTest, ASwapToAUnitWithOtherFirmwareAndNoAbsenceIsUpgraded) {
  const auto file = Firmware(2000);
  Station station(sim::LinkType::Tcp, {});
  station.Plug();
  const auto run = RunStationUntil(station, file, [&](const std::string& out) {
    if (!AnsweredAfterRestart(*station.unit())) {
      return false;
    }
    if (station.flashes().empty()) {
      // Taken away and the next one in its place at once.
      station.Unplug();
      station.Plug([](sim::SimConfig& c) { c.device.deviceInfo = "QL480TX-V5 0.98"; });
      return false;
    }
    return Units(out, station.Label()) == 2;
  });
  station.Unplug();

  EXPECT_EQ(run.status, 0) << run.out << run.err;
  ASSERT_EQ(station.flashes().size(), 2u);
  EXPECT_TRUE(HoldsImage(station.flashes()[1]));
  EXPECT_EQ(station.counters()[1].writes, 4u);
  EXPECT_EQ(station.counters()[1].runs, 1u);
  const auto units = Events(JsonLines(run.out), station.Label(), "unit");
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[1]["device_info"].toString(), "QL480TX-V5 0.98 ");
  EXPECT_EQ(units[1]["outcome"].toString(), "upgrade_ok");
}

// A loose fixture drops the link for 300 ms every 800 ms, ten times, and the
// unit then stays in place for half a minute: one unit, upgraded once. Ten
// dropouts prove what a minute of them would: the unit answers between
// them, and each answer starts the count of its silence afresh; the grace
// for a restart is over with its first answer.
TEST_F(RepeatTest, ALooseFixtureAndHalfAMinuteInPlaceUpgradeTheUnitOnce) {
  const auto file = Firmware(2000);
  Station station(sim::LinkType::Tcp, {});
  station.Plug();
  using SteadyClock = std::chrono::steady_clock;
  std::optional<SteadyClock::time_point> upgraded;
  int dropouts = 0;
  const auto keepFlash = [&station](sim::SimConfig& c) {
    c.device.initialFlash = station.flashes().back();
  };
  const auto run = RunStationUntil(station, file, [&](const std::string&) {
    if (!upgraded) {
      if (AnsweredAfterRestart(*station.unit())) {
        upgraded = SteadyClock::now();
      }
      return false;
    }
    const double since = SecondsSince(*upgraded);
    if (dropouts < 10) {
      const double cycle = since - 0.8 * dropouts;
      if (station.unit() != nullptr && cycle >= 0.0 && cycle < 0.3) {
        station.Unplug();
      } else if (station.unit() == nullptr && cycle >= 0.3) {
        station.Plug(keepFlash);
        ++dropouts;
      }
      return false;
    }
    return since >= 30.0;
  });
  station.Unplug();

  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(dropouts, 10);
  std::size_t writes = 0;
  std::size_t runs = 0;
  for (const sim::Counters& c : station.counters()) {
    writes += c.writes;
    runs += c.runs;
  }
  EXPECT_EQ(writes, 4u);
  EXPECT_EQ(runs, 1u);
  EXPECT_EQ(Units(run.out, station.Label()), 1);
  EXPECT_TRUE(HoldsImage(station.flashes().back()));
}

// The station log after a stop in the middle of unit 2: unit 1's line, with
// what the unit answered after its restart, and after SIGINT unit 2's,
// interrupted; after SIGKILL nothing of unit 2. Every line whole and parsing.
TEST_F(RepeatTest, TheLogAfterAStopMidUnitHoldsOnlyWholeLines) {
  std::vector<std::uint8_t> image(124 * 512);
  std::mt19937 random(7);
  for (auto& b : image) {
    b = static_cast<std::uint8_t>(random());
  }
  const auto file = FirmwareOf(image);
  for (const int signal : {SIGINT, SIGKILL}) {
    SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGKILL");
    const fs::path log = dir_ / (signal == SIGINT ? "int.log" : "kill.log");
    Station station(sim::LinkType::Tcp, {});
    station.Plug();
    const auto readLog = [&log] {
      std::ifstream in(log, std::ios::binary);
      return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    RunSetup setup;
    setup.args = {"--repeat", "--json",        "--log",      log.string(),
                  "--tcp",    station.Label(), file.string()};
    setup.configHome = Config();
    setup.env = {kShortRunWait};
    setup.limit = std::chrono::seconds(60);
    bool stopped = false;
    setup.during = [&](pid_t pid, const std::string& out, const std::string&) {
      if (stopped) {
        return;
      }
      if (station.flashes().empty()) {
        if (readLog().find('\n') != std::string::npos) {
          station.Unplug();
        }
      } else if (station.unit() == nullptr) {
        if (WaitingNotes(out, station.Label()) >= 2) {
          station.Plug();
        }
      } else if (station.unit()->GetCounters().writes >= 10) {
        kill(pid, signal);
        stopped = true;
      }
    };
    const auto run = RunFlash(setup);
    EXPECT_EQ(run.status, signal == SIGINT ? 130 : -1) << run.out << run.err;

    const std::string text = readLog();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const auto lines = JsonLines(text);
    ASSERT_EQ(lines.size(), signal == SIGINT ? 2u : 1u) << text;
    EXPECT_EQ(lines[0]["unit"].toInt(), 1);
    EXPECT_EQ(lines[0]["outcome"].toString(), "upgrade_ok");
    EXPECT_EQ(lines[0]["device_info_after"].toString(), "QL480TX-V5      ");
    if (signal == SIGINT) {
      EXPECT_EQ(lines[1]["unit"].toInt(), 2);
      EXPECT_EQ(lines[1]["status"].toInt(), 130);
      EXPECT_EQ(lines[1]["outcome"].toString(), "interrupted");
      EXPECT_TRUE(lines[1]["message"].isNull());
      EXPECT_TRUE(lines[1]["reason"].toString().startsWith("programming stopped after")) << text;
      EXPECT_TRUE(lines[1]["device_info_after"].isNull());
    }
    station.Unplug();
  }
}

}  // namespace
}  // namespace ql::flash
