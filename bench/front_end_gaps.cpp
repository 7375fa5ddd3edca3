// Benchmark: the window and ql480tx-flash as the device sees them on the real
// clock. Each runs the same road against its own emulator over TCP on
// 127.0.0.1, the window offscreen with its real tones on ALSA's null device
// and its real settings store, the command-line program as a script runs it.
// The emulator notes when each request frame was complete, when each reply's
// CR went out and when the link was closed; the two recordings must hold the
// same events (a failure), and how far the gaps between them differ is
// reported, never judged: both sides sleep on the same monotonic clock for
// the same lengths, and what differs is how late each thread wakes, which is
// the machine's. The exact comparison, on the virtual clock, is the window
// test FrontEndPacing.
//
//   front_end_gaps [--rounds N]    prints one Markdown row per road and round
#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QTabWidget>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/frm_module.h"
#include "link/link.h"
#include "sim/emulator.h"
#include "window_fixture.h"

namespace ql::testing_support {
namespace {

using namespace std::chrono_literals;
using Ms = std::chrono::duration<double, std::milli>;

// A gap of the window and the same gap of ql480tx-flash agree when they
// differ by no more than this: the faults a different pacing would show are
// tens to hundreds of milliseconds; an idle machine wakes within well under
// one.
constexpr Ms kAgreement{5.0};

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

int gRounds = 1;

class FrontEndGaps : public WindowTest {
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

  // ALSA takes the path as a list: no blanks in it, unlike the default
  // temporary folder's name, which holds the application's.
  QTemporaryDir alsa_{QDir::tempPath() + QStringLiteral("/ql-alsa-XXXXXX")};
  QTemporaryDir flashConfig_;
};

TEST_F(FrontEndGaps, GapsSeenFromTheWindowAndFromTheCommandLine) {
  const TempFirmware file("QL480TX-V5 1.02", PatternImage(kBlocks * 512));
  const QString firmware = QString::fromStdString(file.path().string());
  std::printf(
      "| road | round | gaps | median difference ms | largest difference ms | at | "
      "result |\n|---|---|---|---|---|---|---|\n");
  for (const Road& road : kRoads) {
    SCOPED_TRACE(road.name);
    for (int round = 1; round <= gRounds; ++round) {
      const Recording window = Flatten(Sessions(RunWindow(road, firmware)));
      window_.reset();
      const Recording flash = Flatten(Sessions(RunFlash(road, firmware)));
      ASSERT_EQ(window.sessions, road.upgrade ? 2U : 1U);
      ASSERT_EQ(window.events, flash.events) << "the device saw different traffic";
      std::vector<double> differences;
      std::size_t largest = 0;
      for (std::size_t i = 0; i < window.gaps.size(); ++i) {
        differences.push_back(std::abs(window.gaps[i].second - flash.gaps[i].second));
        if (differences[i] > differences[largest]) {
          largest = i;
        }
      }
      if (differences.empty()) {
        continue;
      }
      std::vector<double> sorted = differences;
      std::sort(sorted.begin(), sorted.end());
      const double median = sorted[sorted.size() / 2];
      std::printf("| %s | %d | %zu | %.2f | %.2f | %s (window %.1f, flash %.1f) | %s |\n",
                  road.name, round, differences.size(), median, differences[largest],
                  window.gaps[largest].first.c_str(), window.gaps[largest].second,
                  flash.gaps[largest].second,
                  differences[largest] <= kAgreement.count() ? "agree within 5 ms" : "differ");
      std::fflush(stdout);
    }
  }
}

}  // namespace
}  // namespace ql::testing_support

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  qputenv("QT_QPA_PLATFORM", "offscreen");
  ql::app::Application app(argc, argv);
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--rounds") {
      ql::testing_support::gRounds = std::max(1, std::atoi(argv[i + 1]));
    }
  }
  return RUN_ALL_TESTS();
}
