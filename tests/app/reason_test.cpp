// Why a step failed, on the status panel: its tool tip and accessible
// description hold the reason in ql480tx-flash's words, its context menu
// copies it, and the next step clears it.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QProgressBar>
#include <QTabWidget>
#include <QTextDocumentFragment>

#include "window_fixture.h"

namespace ql::testing_support {
namespace {

class ReasonTest : public WindowTest {
 protected:
  // 1006 image bytes plus the six repeats: two blocks.
  TempFirmware file_{"QL480TX-V5 1.00 ", PatternImage(1000)};

  void SelectFile() { Select(QString::fromStdString(file_.path().string())); }

  // The reason as assistive technologies read it; the tool tip must say the
  // same words.
  QString Reason() const {
    QWidget* panel = Find("pnMsg");
    const QString tip = QTextDocumentFragment::fromHtml(panel->toolTip()).toPlainText();
    EXPECT_EQ(tip, panel->accessibleDescription());
    return panel->accessibleDescription();
  }
  QAction* Copy() const { return Find<QAction>("mnuCopyReason"); }
};

TEST_F(ReasonTest, EachFailedConnectSaysWhyAndTheNextStepClearsIt) {
  MakeWindow().show();
  EXPECT_EQ(Find("pnMsg")->contextMenuPolicy(), Qt::ActionsContextMenu);
  EXPECT_TRUE(Find("pnMsg")->actions().contains(Copy()));
  EXPECT_FALSE(Copy()->isEnabled());
  SelectFile();

  // A refused open on the NET tab names the address and the system's reason.
  openFails_ = true;
  Find<QTabWidget>("pcPort")->setCurrentWidget(Find("tsNet"));
  Find<QLineEdit>("edIP")->setText("127.0.0.1");
  Find<QLineEdit>("edPort")->setText("5099");
  RunStep("btnConnect");
  EXPECT_EQ(Text("pnMsg"), "Connect device error!");
  EXPECT_EQ(Reason(), "127.0.0.1:5099: No such device");
  ASSERT_TRUE(Copy()->isEnabled());
  Copy()->trigger();
  EXPECT_EQ(QApplication::clipboard()->text(), "127.0.0.1:5099: No such device");

  // A silent device on the COM tab; the reason goes when the step starts.
  openFails_ = false;
  device_.silentHandshakes = {0, 1, 2};
  Find<QTabWidget>("pcPort")->setCurrentWidget(Find("tsCom"));
  Find<QAbstractButton>("btnConnect")->click();
  EXPECT_EQ(Reason(), "");
  EXPECT_FALSE(Copy()->isEnabled());
  ASSERT_TRUE(WaitFor([this] { return !window_->ProcedureRunning(); }));
  EXPECT_EQ(Text("pnMsg"), "Connect device error!");
  EXPECT_EQ(Reason(),
            "COM1: no valid handshake reply in 3 attempts, the last: no reply "
            "(check the device ID, the line settings and the cable)");

  // The language changes the menu item, not the reason; a new selection,
  // the first step, clears it.
  Find<QAction>("mnuSimplified")->trigger();
  EXPECT_EQ(Copy()->text(), QString::fromUtf8("复制(&C)"));
  Find<QAction>("mnuTraditional")->trigger();
  EXPECT_EQ(Copy()->text(), QString::fromUtf8("複製(&C)"));
  EXPECT_EQ(Reason(),
            "COM1: no valid handshake reply in 3 attempts, the last: no reply "
            "(check the device ID, the line settings and the cable)");
  SelectFile();
  EXPECT_EQ(Reason(), "");

  // A success leaves nothing behind.
  RunStep("btnConnect");
  EXPECT_EQ(Text("pnMsg"), QString::fromUtf8("連線裝置完成."));
  EXPECT_EQ(Reason(), "");
}

TEST_F(ReasonTest, AFailedVerifySaysWhatTheDeviceHolds) {
  device_.corruptStored = {1};
  MakeWindow().show();
  SelectFile();
  RunStep("btnConnect");
  ASSERT_TRUE(Enabled("btnAuto"));
  RunStep("btnAuto");

  EXPECT_EQ(Text("pnMsg"), "Verify error!");
  EXPECT_EQ(Reason(),
            "block 1, address 0200, data differs; the device holds a complete image that differs "
            "from the file at block 1, address 0200, and was not told to run it; run the upgrade "
            "again");
  EXPECT_EQ(Find<QProgressBar>("pbVerify")->value(), 2);  // drawn full, as on any failure
  EXPECT_EQ(device_.runs, 0);
}

// A file longer than the device takes: the connect succeeds as always, and
// the panel says what will not be written.
TEST_F(ReasonTest, AFileLongerThanTheDeviceSaysWhatIsLeftOut) {
  const TempFirmware longer("QL480TX-V5 1.00 ", PatternImage(124 * 512 + 100));
  MakeWindow().show();
  Select(QString::fromStdString(longer.path().string()));
  RunStep("btnConnect");
  EXPECT_EQ(Text("pnMsg"), "Connect device ok.");
  EXPECT_TRUE(Enabled("btnAuto"));
  EXPECT_EQ(Reason(),
            "the file holds 63588 image bytes, the device 124 blocks (63488 bytes): the last 100 "
            "bytes are not written");
}

// The device's text is shown as it stands, never taken for markup.
TEST_F(ReasonTest, AModelMismatchNamesBoth) {
  device_.info = "QL481<b>X</b>   ";
  MakeWindow().show();
  SelectFile();
  RunStep("btnConnect");
  EXPECT_EQ(Text("pnMsg"), "Firmware file type error!");
  EXPECT_EQ(Reason(), "the device is \"QL481<b>X</b>\", the file is for \"QL480TX-V5 1.00\"");
}

}  // namespace
}  // namespace ql::testing_support
