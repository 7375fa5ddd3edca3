// The window end to end: the real TfrmModule, offscreen, drives the real
// procedures over a TCP link on 127.0.0.1 to the device emulator, from the
// file selection to "Upgrade ok.", checking the controls at every step; and
// an emulator that goes away in the middle of the upgrade.
#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <functional>
#include <set>

#include "app/panel.h"
#include "link/link.h"
#include "sim/emulator.h"
#include "window_fixture.h"

namespace ql::testing_support {
namespace {

using namespace std::chrono_literals;
using app::kIndicatorRed;
using app::kIndicatorYellow;

// The seven-second wait after the run command lasts this long here: long
// enough to look at the window during it, short enough for a test. The exact
// wait is pinned by the procedures' tests on the virtual clock.
constexpr std::uint32_t kRunWaitMs = 600;

constexpr int kBlocks = 12;

// The real link, with a hook that runs before each request is handed to it.
class WatchedLink final : public link::Transport {
 public:
  WatchedLink(std::unique_ptr<link::Transport> inner, std::function<void()> beforeWrite)
      : inner_(std::move(inner)), beforeWrite_(std::move(beforeWrite)) {}
  link::LinkKind Kind() const override { return inner_->Kind(); }
  link::WriteResult Write(std::span<const std::uint8_t> bytes) override {
    beforeWrite_();
    return inner_->Write(bytes);
  }
  link::ReadResult Read(std::span<std::uint8_t> into, std::chrono::microseconds wait) override {
    return inner_->Read(into, wait);
  }
  std::string GoneReason() const override { return inner_->GoneReason(); }
  std::chrono::nanoseconds CharacterTime() const override { return inner_->CharacterTime(); }
  bool InputWaiting() override { return inner_->InputWaiting(); }
  void Close() override { inner_->Close(); }

 private:
  std::unique_ptr<link::Transport> inner_;
  std::function<void()> beforeWrite_;
};

class WindowRoad : public WindowTest {
 protected:
  // 12 blocks exactly: ten bytes short of them, the six repeats fill them.
  TempFirmware file_{"QL480TX-V5 1.02", PatternImage(kBlocks * 512 - 6)};
  std::atomic<int> opens_ = 0;
  // Runs on the worker before each request; counts them over all opens.
  std::function<void(int request)> beforeRequest_;
  std::atomic<int> requests_ = 0;

  std::unique_ptr<sim::Emulator> Serve(sim::SimConfig config) {
    config.link.type = sim::LinkType::Tcp;
    config.link.address = "127.0.0.1";
    config.device.rebootSilence = 20ms;
    auto emulator = std::make_unique<sim::Emulator>(config);
    std::string error;
    EXPECT_TRUE(emulator->Start(error)) << error;
    return emulator;
  }

  // The window as the program builds it, with the real link and a fake for
  // the boxes and the tones.
  app::TfrmModule& MakeRoadWindow() {
    app::WindowServices services = app::SystemServices();
    auto dialogs = std::make_unique<FakeDialogs>();
    dialogs_ = dialogs.get();
    services.dialogs = std::move(dialogs);
    services.tone = [this](int hz, int ms) { tones_.emplace_back(hz, ms); };
    services.portNames = [this] { return portNames_; };
    services.runWaitMs = kRunWaitMs;
    services.openStore = TestStore();
    services.openLink = [this](const link::LinkSettings& settings,
                               std::string& why) -> std::unique_ptr<link::Transport> {
      ++opens_;
      auto opened = link::TryOpenLink(settings, why);
      if (!opened) {
        return opened;
      }
      return std::make_unique<WatchedLink>(std::move(opened), [this] {
        const int request = ++requests_;
        if (beforeRequest_) {
          beforeRequest_(request);
        }
      });
    };
    window_ = std::make_unique<app::TfrmModule>(std::move(services));
    window_->show();
    EXPECT_TRUE(WaitFor([this] { return dialogs_->notes.size() == 1; }));
    return *window_;
  }

  QString FilePath() const { return QString::fromStdString(file_.path().string()); }
  bool WindowTakesInput() const {
    return window_->centralWidget()->isEnabled() && window_->menuBar()->isEnabled();
  }
  bool Hourglass() const {
    return QApplication::overrideCursor() != nullptr &&
           QApplication::overrideCursor()->shape() == Qt::WaitCursor;
  }
  bool Blinking() const { return Find<QTimer>("tmrBusy")->isActive(); }
  int Value(const char* bar) const { return Find<QProgressBar>(bar)->value(); }
  int Maximum(const char* bar) const { return Find<QProgressBar>(bar)->maximum(); }

  // What the indicator and the status panel show until `done` holds (or a
  // generous bound passes): watched up to an event of the procedure, not
  // over a span of time, so a busy machine cannot end the watch early.
  struct Seen {
    std::set<QRgb> colours;
    QStringList texts;
    bool ended = false;  // `done` held
  };
  Seen WatchUntil(const std::function<bool()>& done) const {
    Seen seen;
    const auto giveUp = std::chrono::steady_clock::now() + 60s;
    while (!(seen.ended = done()) && std::chrono::steady_clock::now() < giveUp) {
      seen.colours.insert(Indicator().rgb());
      if (seen.texts.isEmpty() || seen.texts.back() != Text("pnMsg")) {
        seen.texts << Text("pnMsg");
      }
      QTest::qWait(5);
    }
    return seen;
  }
  static std::set<QRgb> Blinked() { return {kIndicatorRed.rgb(), kIndicatorYellow.rgb()}; }

  // Clicks a step button and checks the window while the procedure runs.
  void ExpectBusyWhileRunning(const char* button) {
    Find<QAbstractButton>(button)->click();
    ASSERT_TRUE(window_->ProcedureRunning());
    EXPECT_TRUE(WaitFor([this] { return !WindowTakesInput() || !window_->ProcedureRunning(); }));
    if (window_->ProcedureRunning()) {
      EXPECT_TRUE(Hourglass());
    }
  }

  void ExpectHandedBack() {
    EXPECT_TRUE(WindowTakesInput());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_FALSE(Blinking());
    EXPECT_TRUE(window_->isVisible());
  }
};

TEST_F(WindowRoad, SelectConnectUpgradeToUpgradeOk) {
  // A device whose first handshake reply is late, so the connect lasts long
  // enough to watch, and whose block 1 is taken only on its fourth try, so
  // programming does too.
  sim::SimConfig config;
  config.faults.lateReply = {{{sim::CommandKind::Handshake, 1}, 550ms}};
  config.faults.refusedWrites = {{1, 3}};
  const auto emulator = Serve(config);
  Store({{"TYPE", 1}, {"NetIP", "127.0.0.1"}, {"NetPort", QString::number(emulator->Port())}});
  MakeRoadWindow();
  EXPECT_EQ(Find<QTabWidget>("pcPort")->currentWidget(), Find("tsNet"));
  EXPECT_FALSE(Enabled("btnConnect"));
  EXPECT_FALSE(Enabled("btnAuto"));
  EXPECT_EQ(Indicator(), kIndicatorRed);

  // 1. Select.
  Select(FilePath());
  EXPECT_TRUE(Enabled("btnConnect"));
  EXPECT_FALSE(Enabled("btnAuto"));
  EXPECT_EQ(Text("pnMsg"), "2. Connect device");
  EXPECT_EQ(Text("pnFileVer"), "QL480TX-V5 1.02");
  for (const char* bar : {"pbProgram", "pbVerify"}) {
    EXPECT_EQ(Value(bar), 0) << bar;
  }

  // 2. Connect: the first attempt's window passes, the countdown shows 9,
  // and the indicator blinks meanwhile. A blink tick may first paint the
  // colour already shown, so it takes two ticks to see both.
  ExpectBusyWhileRunning("btnConnect");
  Seen seen = WatchUntil([this] { return !window_->ProcedureRunning(); });
  ASSERT_TRUE(seen.ended);
  EXPECT_EQ(seen.colours, Blinked());
  EXPECT_TRUE(seen.texts.contains("Connecting device ... ( 9 )"))
      << seen.texts.join(" | ").toStdString();
  EXPECT_FALSE(seen.texts.contains("Connecting device ... ( 8 )"));

  EXPECT_EQ(Text("pnMsg"), "Connect device ok.");
  EXPECT_TRUE(Enabled("btnAuto"));
  EXPECT_EQ(Indicator(), kIndicatorYellow);
  EXPECT_EQ(Text("pnDevice"), "QL480TX-V5      ");
  EXPECT_EQ(Text("pnFileVer"), "QL480TX-V5");
  EXPECT_EQ(window_->State().blockCount, kBlocks);
  EXPECT_EQ(Stored("NetPort").toString(), QString::number(emulator->Port()));
  ExpectHandedBack();

  // 3. Upgrade: programming blinks while block 1 is refused, with the bar
  // short of its end and nothing verified yet.
  ExpectBusyWhileRunning("btnAuto");
  bool programmingShown = false;
  bool shortBarSeen = false;
  seen = WatchUntil([&] {
    if (Text("pnMsg") != "Programming ...") {
      return programmingShown || !window_->ProcedureRunning();
    }
    programmingShown = true;
    // Block 1 is refused three times first: the bar stays short of its end
    // that long.
    shortBarSeen = shortBarSeen || (Blinking() && Maximum("pbProgram") == kBlocks &&
                                    Value("pbProgram") < kBlocks && Value("pbVerify") == 0);
    return false;
  });
  ASSERT_TRUE(seen.ended);
  EXPECT_TRUE(programmingShown) << seen.texts.join(" | ").toStdString();
  EXPECT_TRUE(shortBarSeen);
  EXPECT_EQ(seen.colours, Blinked());

  // The wait after the run command: verified, steady yellow, still busy.
  ASSERT_TRUE(WaitFor([this] { return Text("pnMsg") == "Upgrading ..."; }));
  EXPECT_FALSE(Blinking());
  EXPECT_EQ(Indicator(), kIndicatorYellow);
  EXPECT_FALSE(WindowTakesInput());
  EXPECT_TRUE(Hourglass());
  for (const char* bar : {"pbProgram", "pbVerify"}) {
    EXPECT_EQ(Value(bar), kBlocks) << bar;
  }
  ASSERT_TRUE(WaitFor([this] { return !window_->ProcedureRunning(); }));

  EXPECT_EQ(Text("pnMsg"), "Upgrade ok.");
  EXPECT_EQ(Indicator(), kIndicatorYellow);
  EXPECT_TRUE(Enabled("btnAuto"));
  for (const char* bar : {"pbProgram", "pbVerify"}) {
    EXPECT_EQ(Maximum(bar), kBlocks) << bar;
    EXPECT_EQ(Value(bar), kBlocks) << bar;
  }
  ExpectHandedBack();
  EXPECT_EQ(tones_, (std::vector<std::pair<int, int>>{{1000, 300}, {1000, 100}, {1000, 300}}));

  const std::vector<std::uint8_t> image = PatternImage(kBlocks * 512 - 6);
  const std::vector<std::uint8_t> flash = emulator->Flash();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
  EXPECT_TRUE(std::all_of(flash.begin() + kBlocks * 512 - 6, flash.begin() + kBlocks * 512,
                          [&](std::uint8_t b) { return b == image.back(); }));
  EXPECT_EQ(emulator->GetCounters().runs, 1U);
  EXPECT_EQ(opens_, 2);
}

TEST_F(WindowRoad, WrongModelFirstThenTheRightDevice) {
  sim::SimConfig other;
  other.device.deviceInfo = "QL481TX-V5";
  auto emulator = Serve(other);
  MakeRoadWindow();
  Select(FilePath());
  Find<QTabWidget>("pcPort")->setCurrentWidget(Find("tsNet"));
  Find<QLineEdit>("edIP")->setText("127.0.0.1");
  Find<QLineEdit>("edPort")->setText(QString::number(emulator->Port()));
  RunStep("btnConnect");

  EXPECT_EQ(Text("pnMsg"), "Firmware file type error!");
  EXPECT_EQ(Indicator(), kIndicatorRed);
  EXPECT_FALSE(Enabled("btnAuto"));
  EXPECT_TRUE(Enabled("btnConnect"));
  EXPECT_EQ(Text("pnDevice"), "QL481TX-V5      ");
  EXPECT_EQ(Text("pnFileVer"), "QL480TX-V5 1.02");
  EXPECT_EQ(Stored("TYPE").toInt(), 1);  // stored after the handshake, before the model check
  EXPECT_EQ(tones_.back(), std::make_pair(300, 300));
  ExpectHandedBack();

  // The right device on another port.
  emulator = Serve({});
  Find<QLineEdit>("edPort")->setText(QString::number(emulator->Port()));
  RunStep("btnConnect");
  EXPECT_EQ(Text("pnMsg"), "Connect device ok.");
  EXPECT_EQ(Text("pnDevice"), "QL480TX-V5      ");
  ASSERT_TRUE(Enabled("btnAuto"));
  RunStep("btnAuto");

  EXPECT_EQ(Text("pnMsg"), "Upgrade ok.");
  EXPECT_EQ(Indicator(), kIndicatorYellow);
  const std::vector<std::uint8_t> image = PatternImage(kBlocks * 512 - 6);
  const std::vector<std::uint8_t> flash = emulator->Flash();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
  ExpectHandedBack();
}

// The emulator killed while block 3 is written: the step ends there, without
// another try, with the programming message, and the reason says the link
// was lost and what the device holds.
TEST_F(WindowRoad, EmulatorKilledMidWriteSaysLinkLostAndWhatTheDeviceHolds) {
  auto emulator = Serve({});
  Store({{"TYPE", 1}, {"NetIP", "127.0.0.1"}, {"NetPort", QString::number(emulator->Port())}});
  MakeRoadWindow();
  Select(FilePath());
  RunStep("btnConnect");
  ASSERT_EQ(Text("pnMsg"), "Connect device ok.");

  // The upgrade's requests: its handshake, then blocks 0, 1, 2 and 3.
  const int first = requests_ + 1;
  beforeRequest_ = [&](int request) {
    if (request == first + 4) {
      emulator->Stop();
    }
  };
  RunStep("btnAuto");
  beforeRequest_ = nullptr;

  EXPECT_EQ(requests_, first + 4) << "block 3 was tried again, or more was sent";
  EXPECT_EQ(Text("pnMsg"), "Program/Download error!");
  EXPECT_EQ(Indicator(), kIndicatorRed);
  const QString reason = Find("pnMsg")->accessibleDescription();
  EXPECT_TRUE(reason.startsWith("block 3, address 0600, link lost")) << reason.toStdString();
  EXPECT_TRUE(
      reason.endsWith("; the device holds a partial image, the first 3 of 12 blocks of the "
                      "new one, and was not told to run it; run the upgrade again"))
      << reason.toStdString();
  EXPECT_EQ(Maximum("pbProgram"), kBlocks);
  EXPECT_EQ(Value("pbProgram"), kBlocks);  // drawn full, as on any failure
  EXPECT_EQ(Value("pbVerify"), 0);
  EXPECT_EQ(tones_.back(), std::make_pair(300, 300));
  ExpectHandedBack();

  const std::vector<std::uint8_t> image = PatternImage(kBlocks * 512 - 6);
  const std::vector<std::uint8_t> flash = emulator->Flash();
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 3 * 512, flash.begin()));
  EXPECT_EQ(emulator->GetCounters().runs, 0U);
}

}  // namespace
}  // namespace ql::testing_support
