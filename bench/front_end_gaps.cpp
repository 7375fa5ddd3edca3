// The window and ql480tx-flash as the device sees them: each runs the same
// road against its own emulator over TCP on 127.0.0.1, the window offscreen
// with its real tones on ALSA's null device and its real settings store, the
// command-line program as a script runs it. The emulator notes when each
// request frame was complete, when each reply's CR went out and when the link
// was closed; the two recordings must hold the same events with the same
// gaps between them, tones and the wait after the run command included.
#include <QAbstractButton>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QTabWidget>
#include <QTemporaryDir>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "app/frm_module.h"
#include "link/link.h"
#include "sim/emulator.h"
#include "window_fixture.h"

namespace ql::testing_support {
namespace {

using namespace std::chrono_literals;
using Ms = std::chrono::duration<double, std::milli>;

// How far a gap seen from the window may differ from the same gap seen from
// ql480tx-flash. Both sides sleep on the same monotonic clock for the same
// lengths; what differs is only how late each thread wakes: the utility's
// after each pause, the emulator's when the bytes or the close arrive. Each
// of the four moments that bound two compared gaps can trail by the wake-up
// latency of this VM, well under a millisecond when idle and one or two
// when the other developers' builds keep both cores busy. The faults this
// test is for are tens to hundreds of milliseconds.
constexpr Ms kTolerance{5.0};

// Under load a single wake-up now and then comes several milliseconds late,
// which no tolerance of a few milliseconds can absorb. Such a spike is rare
// and falls on one gap of one recording, while a front end that paces the
// device differently does so every time: so a road is recorded again, up to
// this many times, until every one of its gaps has agreed in at least one
// recording.
constexpr int kRecordings = 3;

// Connect, upgrade with the seven-second wait, and the two roads that end
// in a 300 Hz tone with the link still open.
struct Road {
  const char* name;
  std::function<void(sim::SimConfig&)> device;
  bool upgrade;            // the window presses Upgrade after the connect
  int flashStatus;         // ql480tx-flash's exit status
  const char* windowText;  // pnMsg at the end
};

const Road kRoads[] = {
    {"upgrade ok", [](sim::SimConfig&) {}, true, 0, "Upgrade ok."},
    {"other model", [](sim::SimConfig& c) { c.device.deviceInfo = "QL481TX-V5"; }, false, 5,
     "Firmware file type error!"},
    {"read-back differs",
     [](sim::SimConfig& c) {
       c.faults.readbackBitFlips.push_back({1, 3, 0});
     },
     true, 7, "Verify error!"},
};

constexpr int kBlocks = 3;

const char* KindText(sim::TimelineKind kind) {
  switch (kind) {
    case sim::TimelineKind::Opened:
      return "opened";
    case sim::TimelineKind::Request:
      return "request";
    case sim::TimelineKind::Reply:
      return "reply";
    case sim::TimelineKind::Closed:
      return "closed";
  }
  return "?";
}

std::string Describe(const sim::TimelineEvent& event) {
  std::string text = KindText(event.kind);
  if (!event.detail.empty()) {
    text += " " + event.detail;
  }
  return text;
}

// One link session as the device saw it: from the open to the close.
using Session = std::vector<sim::TimelineEvent>;

std::vector<Session> Sessions(const std::vector<sim::TimelineEvent>& timeline) {
  std::vector<Session> sessions;
  for (const auto& event : timeline) {
    if (event.kind == sim::TimelineKind::Opened || sessions.empty()) {
      sessions.emplace_back();
    }
    sessions.back().push_back(event);
  }
  return sessions;
}

// A recording as the comparison reads it: every event with its session, and
// the gaps between consecutive events of a session. The gap from one
// session's close to the next one's open is the operator's, not the
// utility's, and is left out.
struct Recording {
  std::size_t sessions = 0;
  std::vector<std::string> events;
  std::vector<std::pair<std::string, double>> gaps;  // "reply run -> closed", ms
};

Recording Flatten(const std::vector<Session>& sessions) {
  Recording recording;
  recording.sessions = sessions.size();
  for (std::size_t s = 0; s < sessions.size(); ++s) {
    const Session& session = sessions[s];
    for (std::size_t i = 0; i < session.size(); ++i) {
      recording.events.push_back(std::to_string(s) + " " + Describe(session[i]));
      if (i > 0) {
        recording.gaps.emplace_back(Describe(session[i - 1]) + " -> " + Describe(session[i]),
                                    Ms(session[i].at - session[i - 1].at).count());
      }
    }
    // Every session ends with the utility closing the link.
    if (session.back().kind != sim::TimelineKind::Closed) {
      recording.events.push_back(std::to_string(s) + " not closed");
    }
  }
  return recording;
}

// One gap over the recordings made of it.
struct Gap {
  std::string what;
  std::vector<double> windowMs;
  std::vector<double> flashMs;
  bool agreed = false;  // in at least one recording
};

class FrontEndTiming : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    ASSERT_TRUE(alsa_.isValid());
    // The window's tones go to ALSA's null device: silent, on any machine.
    const QString conf = alsa_.filePath(QStringLiteral("asound.conf"));
    QFile file(conf);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("pcm.!default { type null }\n");
    file.close();
    qputenv("ALSA_CONFIG_PATH", QFile::encodeName(conf));
  }

  void TearDown() override {
    WindowTest::TearDown();
    qunsetenv("ALSA_CONFIG_PATH");
  }

  std::unique_ptr<sim::Emulator> Serve(const Road& road) {
    sim::SimConfig config;
    config.link.type = sim::LinkType::Tcp;
    config.link.address = "127.0.0.1";
    road.device(config);
    auto emulator = std::make_unique<sim::Emulator>(config);
    std::string error;
    EXPECT_TRUE(emulator->Start(error)) << error;
    return emulator;
  }

  // Waits until the emulator has seen the utility close the link `closes`
  // times, then takes its timeline.
  static std::vector<sim::TimelineEvent> TimelineOf(const sim::Emulator& emulator,
                                                    std::size_t closes) {
    EXPECT_TRUE(emulator.WaitUntil(
        [closes](const sim::Counters& c) { return c.disconnections >= closes; }, 5s));
    return emulator.Timeline();
  }

  // The window as the program builds it, tones, clock, store and link
  // included; only the boxes are answered by the test.
  std::vector<sim::TimelineEvent> RunWindow(const Road& road, const QString& firmware) {
    const auto emulator = Serve(road);
    app::WindowServices services = app::SystemServices();
    auto dialogs = std::make_unique<FakeDialogs>();
    dialogs_ = dialogs.get();
    services.dialogs = std::move(dialogs);
    services.portNames = [this] { return portNames_; };
    window_ = std::make_unique<app::TfrmModule>(std::move(services));
    window_->show();
    EXPECT_TRUE(WaitFor([this] { return dialogs_->notes.size() == 1; }));

    Select(firmware);
    Find<QTabWidget>("pcPort")->setCurrentWidget(Find("tsNet"));
    Find<QLineEdit>("edIP")->setText(QStringLiteral("127.0.0.1"));
    Find<QLineEdit>("edPort")->setText(QString::number(emulator->Port()));
    std::size_t sessions = 1;
    Step("btnConnect");
    if (road.upgrade) {
      Step("btnAuto");
      ++sessions;
    }
    EXPECT_EQ(Text("pnMsg"), QString::fromLatin1(road.windowText));
    return TimelineOf(*emulator, sessions);
  }

  std::vector<sim::TimelineEvent> RunFlash(const Road& road, const QString& firmware) {
    const auto emulator = Serve(road);
    QProcess flash;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), flashConfig_.path());
    flash.setProcessEnvironment(environment);
    flash.start(
        QStringLiteral(QL_FLASH_PROGRAM),
        {QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:%1").arg(emulator->Port()), firmware});
    EXPECT_TRUE(flash.waitForFinished(30000)) << "ql480tx-flash did not end";
    EXPECT_EQ(flash.exitCode(), road.flashStatus) << flash.readAllStandardOutput().toStdString()
                                                  << flash.readAllStandardError().toStdString();
    return TimelineOf(*emulator, road.upgrade ? 2 : 1);
  }

  void Step(const char* button) {
    Find<QAbstractButton>(button)->click();
    ASSERT_TRUE(window_->ProcedureRunning()) << button << " started nothing";
    ASSERT_TRUE(WaitFor([this] { return !window_->ProcedureRunning(); }, 30s));
  }

  QTemporaryDir alsa_;
  QTemporaryDir flashConfig_;
};

TEST_F(FrontEndTiming, TheDeviceSeesTheSameGapsFromTheWindowAndFromTheCommandLine) {
  const TempFirmware file("QL480TX-V5 1.02", PatternImage(kBlocks * 512));
  const QString firmware = QString::fromStdString(file.path().string());
  for (const Road& road : kRoads) {
    SCOPED_TRACE(road.name);
    std::vector<std::string> events;
    std::vector<Gap> gaps;
    for (int recording = 0; recording < kRecordings; ++recording) {
      const Recording window = Flatten(Sessions(RunWindow(road, firmware)));
      window_.reset();
      const Recording flash = Flatten(Sessions(RunFlash(road, firmware)));
      ASSERT_EQ(window.sessions, road.upgrade ? 2U : 1U);
      ASSERT_EQ(window.events, flash.events);
      if (recording == 0) {
        events = window.events;
        for (const auto& [what, ms] : window.gaps) {
          gaps.emplace_back().what = what;
        }
      }
      ASSERT_EQ(window.events, events) << "recording " << recording;
      bool allAgreed = true;
      for (std::size_t i = 0; i < gaps.size(); ++i) {
        Gap& gap = gaps[i];
        gap.windowMs.push_back(window.gaps[i].second);
        gap.flashMs.push_back(flash.gaps[i].second);
        gap.agreed = gap.agreed ||
                     std::abs(window.gaps[i].second - flash.gaps[i].second) <= kTolerance.count();
        allAgreed = allAgreed && gap.agreed;
      }
      if (allAgreed) {
        break;
      }
    }

    for (const Gap& gap : gaps) {
      std::string seen;
      for (std::size_t r = 0; r < gap.windowMs.size(); ++r) {
        char text[80];
        std::snprintf(text, sizeof text, " window %.1f ms, flash %.1f ms;", gap.windowMs[r],
                      gap.flashMs[r]);
        seen += text;
      }
      EXPECT_TRUE(gap.agreed) << gap.what << ":" << seen;
      // The gaps that hold a tone, for the record.
      if (gap.what.find("closed") != std::string::npos ||
          gap.what.find("reply write -> request 0001Zx5E2D") != std::string::npos) {
        std::printf("%-18s %-44s%s\n", road.name, gap.what.c_str(), seen.c_str());
      }
    }
  }
}

}  // namespace
}  // namespace ql::testing_support
