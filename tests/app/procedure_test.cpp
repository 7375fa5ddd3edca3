// Connect and upgrade as the window runs them: on a worker thread, against a
// scripted device, with every change queued back to the window.
#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <semaphore>

#include "app/application.h"
#include "app/panel.h"
#include "app/plain_progress_bar.h"
#include "text/message_table.h"
#include "window_fixture.h"

namespace ql::testing_support {
namespace {

namespace msg = text::msg;
using app::kIndicatorRed;
using app::kIndicatorYellow;

// Message `number` as the status panel shows it in English.
QString Shown(int number) {
  return QString::fromStdString(
      text::StripAccelerator(text::Message(number, text::Language::English)));
}

QString PathOf(const TempFirmware& file) {
  return QString::fromStdString(file.path().string());
}

class ProcedureTest : public WindowTest {
 protected:
  // 1006 image bytes plus the six repeats: two blocks.
  TempFirmware file_{"QL480TX-V5 1.00 ", PatternImage(1000)};

  void ExpectHandedBack() {
    EXPECT_TRUE(window_->centralWidget()->isEnabled());
    EXPECT_TRUE(window_->menuBar()->isEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_FALSE(Find<QTimer>("tmrBusy")->isActive());
  }
};

TEST_F(ProcedureTest, ConnectTakesTheNetTabAndLeavesUpgradeReady) {
  MakeWindow().show();
  Select(PathOf(file_));
  Find<QTabWidget>("pcPort")->setCurrentWidget(Find("tsNet"));
  Find<QLineEdit>("edIP")->setText("127.0.0.1");
  Find<QLineEdit>("edPort")->setText("5099");
  RunStep("btnConnect");

  EXPECT_EQ(Text("pnMsg"), "Connect device ok.");
  EXPECT_TRUE(Enabled("btnAuto"));
  EXPECT_EQ(Indicator(), kIndicatorYellow);
  EXPECT_EQ(Text("pnDevice"), "QL480TX-V5      ");
  EXPECT_EQ(Text("pnFileVer"), "QL480TX-V5");
  EXPECT_EQ(window_->FileVersionBytes(), "QL480TX-V5");
  ExpectHandedBack();
  EXPECT_EQ(tones_, (std::vector<std::pair<int, int>>{{1000, 300}}));

  const upgrade::DeviceState& state = window_->State();
  EXPECT_EQ(state.blockCount, 2);
  EXPECT_EQ(state.deviceFamily, "02200001");
  EXPECT_EQ(state.link.linkKind, link::LinkKind::Tcp);
  EXPECT_EQ(state.link.netIp, "127.0.0.1");
  EXPECT_EQ(state.link.comPortName, "COM1");
  ASSERT_EQ(opened_.size(), 1U);
  EXPECT_EQ(opened_[0].netPort, "5099");
  EXPECT_EQ(Stored("TYPE").toInt(), 1);
  EXPECT_EQ(Stored("NetIP").toString(), "127.0.0.1");

  // A language change puts the status back to message 1, buttons as they were.
  Find<QAction>("mnuEnglish")->trigger();
  EXPECT_EQ(Text("pnMsg"), "Select firmware file");
  EXPECT_TRUE(Enabled("btnAuto"));
  EXPECT_TRUE(Enabled("btnConnect"));
}

TEST_F(ProcedureTest, UpgradeFillsTheBarsAndANewSelectionResetsThem) {
  MakeWindow().show();
  Select(PathOf(file_));
  RunStep("btnConnect");
  ASSERT_TRUE(Enabled("btnAuto"));
  RunStep("btnAuto");

  EXPECT_EQ(Text("pnMsg"), "Upgrade ok.");
  EXPECT_EQ(Indicator(), kIndicatorYellow);
  EXPECT_TRUE(Enabled("btnAuto"));
  for (const char* bar : {"pbProgram", "pbVerify"}) {
    EXPECT_EQ(Find<QProgressBar>(bar)->maximum(), 2) << bar;
    EXPECT_EQ(Find<QProgressBar>(bar)->value(), 2) << bar;
  }
  const std::vector<std::uint8_t> image = PatternImage(1000);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), device_.flash.begin()));
  EXPECT_EQ(device_.runs, 1);
  ExpectHandedBack();

  TempFirmware other("QL480TX-V5 2.00 ", PatternImage(10));
  Select(PathOf(other));
  EXPECT_FALSE(Enabled("btnAuto"));
  EXPECT_TRUE(Enabled("btnConnect"));
  EXPECT_EQ(Find<QProgressBar>("pbProgram")->value(), 0);
  EXPECT_EQ(Find<QProgressBar>("pbVerify")->value(), 0);
}

// After a load the header panel shows the model text; every later connect
// still loads only a file whose header is the one read at selection.
TEST_F(ProcedureTest, ConnectLoadsOnlyTheFileWhoseHeaderWasSelected) {
  MakeWindow().show();
  Select(PathOf(file_));
  RunStep("btnConnect");
  ASSERT_EQ(Text("pnFileVer"), "QL480TX-V5");
  RunStep("btnConnect");
  EXPECT_EQ(Text("pnMsg"), "Connect device ok.");
  EXPECT_TRUE(Enabled("btnAuto"));

  // The same model's next release copied over the selected file.
  std::ofstream(file_.path(), std::ios::binary | std::ios::trunc)
      << "QL480TX-V5 2.00 " << std::string(1000, '\x5A');
  tones_.clear();
  RunStep("btnConnect");
  EXPECT_EQ(Text("pnMsg"), "Load firmware file error!");
  EXPECT_FALSE(Enabled("btnAuto"));
  EXPECT_EQ(Indicator(), kIndicatorRed);
  EXPECT_EQ(window_->State().blockCount, 0);
  EXPECT_EQ(tones_, (std::vector<std::pair<int, int>>{{300, 300}}));
  ExpectHandedBack();
}

// What the operator is left with after each way a step can fail, the step
// taken after a good connect: the status, a steady indicator, the Upgrade
// button, the bars (full where a phase's blocks began) and the low tone.
TEST_F(ProcedureTest, EachFailedStepLeavesTheWindowAsTheOperatorMustSeeIt) {
  struct Road {
    const char* name;
    const char* step;
    std::function<void()> fault;
    int message;
    bool upgradeEnabled;
    int programBar;
    int verifyBar;
  };
  const Road roads[] = {
      {"connect, link not opened", "btnConnect", [this] { openFails_ = true; }, msg::kConnectError,
       false, 0, 0},
      {"connect, no handshake reply", "btnConnect",
       [this] {
         const int next = device_.handshakes;
         device_.silentHandshakes = {next, next + 1, next + 2};
       },
       msg::kConnectError, false, 0, 0},
      {"connect, another model", "btnConnect", [this] { device_.info = "QL481TX-V1      "; },
       msg::kFileTypeError, false, 0, 0},
      {"upgrade, link not opened", "btnAuto", [this] { openFails_ = true; }, msg::kOpenPortError,
       true, 0, 0},
      {"upgrade, handshake refused", "btnAuto",
       [this] { device_.silentHandshakes = {device_.handshakes}; }, msg::kProgramError, true, 0, 0},
      {"upgrade, block refused", "btnAuto",
       [this] {
         device_.writeFailures = {{1, 5}};
       },
       msg::kProgramError, true, 2, 0},
      {"upgrade, read-back differs", "btnAuto", [this] { device_.wrongReadBacks = {1}; },
       msg::kVerifyError, true, 2, 2},
  };
  for (const Road& road : roads) {
    SCOPED_TRACE(road.name);
    openFails_ = false;
    device_ = FakeDevice{};
    MakeWindow().show();
    Select(PathOf(file_));
    RunStep("btnConnect");
    ASSERT_TRUE(Enabled("btnAuto"));
    road.fault();
    tones_.clear();
    RunStep(road.step);

    EXPECT_EQ(Text("pnMsg"), Shown(road.message));
    EXPECT_EQ(Indicator(), kIndicatorRed);
    EXPECT_EQ(Enabled("btnAuto"), road.upgradeEnabled);
    EXPECT_EQ(Find<QProgressBar>("pbProgram")->value(), road.programBar);
    EXPECT_EQ(Find<QProgressBar>("pbVerify")->value(), road.verifyBar);
    ASSERT_FALSE(tones_.empty());
    EXPECT_EQ(tones_.back(), std::make_pair(300, 300));
    EXPECT_EQ(device_.runs, 0);
    ExpectHandedBack();
  }
}

TEST_F(ProcedureTest, EnterPressesConnectOnlyWhileItIsEnabled) {
  openFails_ = true;
  auto& window = MakeWindow();
  window.show();
  QApplication::setActiveWindow(&window);
  Find("cmbBaudrate")->setFocus();
  QTest::keyClick(Find("cmbBaudrate"), Qt::Key_Return);
  EXPECT_FALSE(window.ProcedureRunning());

  Select(PathOf(file_));
  const std::pair<const char*, const char*> fields[] = {
      {"tsCom", "cmbBaudrate"}, {"tsCom", "cmbPort"}, {"tsNet", "edIP"}};
  for (const auto& [tab, field] : fields) {
    SCOPED_TRACE(field);
    Find<QTabWidget>("pcPort")->setCurrentWidget(Find(tab));
    const std::size_t opens = opened_.size();
    Find(field)->setFocus();
    QTest::keyClick(Find(field), Qt::Key_Return);
    ASSERT_TRUE(window.ProcedureRunning());
    ASSERT_TRUE(WaitFor([&] { return !window.ProcedureRunning(); }));
    EXPECT_EQ(opened_.size(), opens + 1);
    EXPECT_EQ(Text("pnMsg"), "Connect device error!");
    EXPECT_EQ(Indicator(), kIndicatorRed);
    EXPECT_EQ(tones_.back(), std::make_pair(300, 300));
  }
  // Only a successful handshake stores the link.
  EXPECT_TRUE(ConfigFolderEmpty());

  // A focused button takes Enter itself.
  Find("btnSelect")->setFocus();
  const int dialogs = dialogs_->fileDialogs;
  QTest::keyClick(Find("btnSelect"), Qt::Key_Return);
  EXPECT_EQ(dialogs_->fileDialogs, dialogs + 1);
  EXPECT_FALSE(window.ProcedureRunning());
}

TEST_F(ProcedureTest, ClosingWaitsUntilTheProcedureHasEnded) {
  std::counting_semaphore<4> release(0);
  std::atomic<bool> entered = false;
  struct Releaser {
    std::counting_semaphore<4>& s;
    ~Releaser() { s.release(); }
  } releaser{release};
  onOpen_ = [&] {
    entered = true;
    release.acquire();
  };
  openFails_ = true;
  auto& window = MakeWindow();
  window.show();
  Select(PathOf(file_));
  Find<QAbstractButton>("btnConnect")->click();
  ASSERT_TRUE(WaitFor([&] { return entered && !window.centralWidget()->isEnabled(); }));
  EXPECT_FALSE(window.menuBar()->isEnabled());
  EXPECT_NE(QApplication::overrideCursor(), nullptr);

  EXPECT_FALSE(window.close());
  EXPECT_TRUE(window.isVisible());
  release.release();
  ASSERT_TRUE(WaitFor([&] { return !window.isVisible(); }));
  EXPECT_FALSE(window.ProcedureRunning());
  EXPECT_EQ(Text("pnMsg"), "Connect device error!");
}

TEST_F(ProcedureTest, ExceptionInAProcedureIsShownAndTheWindowHandedBack) {
  QStringList shown;
  app::CurrentApplication()->SetExceptionDisplay([&](const QString& text) { shown << text; });
  onOpen_ = [] { throw std::runtime_error("link exploded"); };
  MakeWindow().show();
  Select(PathOf(file_));
  RunStep("btnConnect");
  EXPECT_EQ(shown, QStringList{"link exploded"});
  EXPECT_EQ(Indicator(), kIndicatorRed);
  ExpectHandedBack();
  app::CurrentApplication()->SetExceptionDisplay(
      [](const QString& text) { ADD_FAILURE() << text.toStdString(); });
}

TEST(PlainProgressBar, EmptyRangeAndDisabledWindowPaintLikeAnEnabledEmptyBar) {
  app::PlainProgressBar noBlocks(nullptr);
  app::PlainProgressBar empty(nullptr);
  for (app::PlainProgressBar* bar : {&noBlocks, &empty}) {
    bar->resize(401, 17);
  }
  noBlocks.setRange(0, 0);
  empty.setRange(0, 100);
  empty.setValue(0);
  EXPECT_EQ(noBlocks.grab().toImage(), empty.grab().toImage());

  QWidget parent;
  app::PlainProgressBar half(&parent);
  half.resize(401, 17);
  half.setRange(0, 10);
  half.SetPosition(5);
  const QImage enabled = half.grab().toImage();
  parent.setEnabled(false);
  EXPECT_EQ(half.grab().toImage(), enabled);

  half.SetPosition(25);  // clamped, not ignored
  EXPECT_EQ(half.value(), 10);
}

}  // namespace
}  // namespace ql::testing_support
