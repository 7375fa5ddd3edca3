// The window's layout: every control at its designed position and size, with
// its initial contents, look, hint and tab order. Positions are relative to
// the client area below the menu bar, to a tab sheet for the controls on one,
// and to the status panel for the indicator.
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTimer>
#include <array>

#include "app/application.h"
#include "app/frm_module.h"
#include "app/language_font.h"
#include "app/panel.h"
#include "app/plain_progress_bar.h"
#include "link/line_settings.h"

namespace ql::app {
namespace {

constexpr int kClientWidth = 520;
constexpr int kClientHeight = 359;

// The status panel's face: the title-bar colour of an active window on the
// desktop the utility was designed for; the window system here has no such
// colour to ask for.
const QColor kActiveCaption{153, 180, 209};
const QColor kSkyBlue{166, 202, 240};

template <class Widget>
Widget* Place(Widget* widget, const char* name, int left, int top, int width, int height) {
  widget->setObjectName(QString::fromLatin1(name));
  widget->setGeometry(left, top, width, height);
  return widget;
}

// A font that never follows its parent's: every property is its own.
QFont OwnFont(QFont font) {
  font.setResolveMask(QFont::AllPropertiesResolved);
  return font;
}

// Single border, highlight face, yellow caption in the panel font, and a hint.
void HighlightLook(Panel* panel, int pixelSize, const char* hint) {
  QPalette pal = panel->palette();
  const QColor face = QApplication::palette().color(QPalette::Active, QPalette::Highlight);
  for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    pal.setColor(group, QPalette::Window, face);
    pal.setColor(group, QPalette::WindowText, QColor(Qt::yellow));
  }
  panel->setPalette(pal);
  panel->setFont(OwnFont(PanelFont(pixelSize)));
  panel->SetSingleBorder(true);
  panel->setToolTip(QString::fromLatin1(hint));
}

void Face(Panel* panel, const QColor& colour) {
  QPalette pal = panel->palette();
  for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    pal.setColor(group, QPalette::Window, colour);
  }
  panel->setPalette(pal);
}

QLabel* RightLabel(QWidget* parent, const char* name, const char* text, int left, int top,
                   int width, int height) {
  auto* label =
      Place(new QLabel(QString::fromLatin1(text), parent), name, left, top, width, height);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignRight | Qt::AlignTop);
  return label;
}

QComboBox* EditableCombo(QWidget* parent, const char* name, int left, int top, int width,
                         int height) {
  auto* combo = Place(new QComboBox(parent), name, left, top, width, height);
  combo->setEditable(true);
  // Enter in the box must reach the window (it presses Connect), not add
  // the typed text to the list.
  combo->setInsertPolicy(QComboBox::NoInsert);
  return combo;
}

PlainProgressBar* Bar(QWidget* parent, const char* name, int left, int top) {
  auto* bar = Place(new PlainProgressBar(parent), name, left, top, 401, 17);
  bar->setRange(0, 100);
  bar->setValue(0);
  return bar;
}

}  // namespace

void TfrmModule::BuildLayout() {
  setObjectName(QStringLiteral("frmModule"));
  setWindowTitle(QString::fromLatin1(kApplicationTitle));
  // Fixed border: system menu, minimise and close, no maximise.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setFont(DesignFont());

  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("clientArea"));
  client->setFixedSize(kClientWidth, kClientHeight);
  setCentralWidget(client);
  // The window is as large as the client area plus the menu bar, no more.
  layout()->setSizeConstraint(QLayout::SetFixedSize);

  pnMsg = Place(new Panel(client), "pnMsg", 8, 4, 505, 40);
  pnMsg->setText(QStringLiteral("Select firmware file"));
  Face(pnMsg, kActiveCaption);
  pnMsg->SetSingleBorder(true);
  pnMsg->SetInnerBevel(Panel::Bevel::Lowered);

  shComm = Place(new CommShape(pnMsg), "shComm", 470, 8, 23, 20);
  // Its context menu copies the reason of the last failure.
  mnuCopyReason = new QAction(QStringLiteral("&Copy"), pnMsg);
  mnuCopyReason->setObjectName(QStringLiteral("mnuCopyReason"));
  mnuCopyReason->setEnabled(false);
  pnMsg->addAction(mnuCopyReason);
  pnMsg->setContextMenuPolicy(Qt::ActionsContextMenu);

  pnFile = Place(new Panel(client), "pnFile", 7, 48, 370, 28);
  HighlightLook(pnFile, 13, "Fimeware filename");
  // A long path keeps its file name in view.
  pnFile->SetElideMode(Qt::ElideMiddle);

  pnFileVer = Place(new Panel(client), "pnFileVer", 376, 48, 137, 28);
  HighlightLook(pnFileVer, 13, "Fimeware file version");

  btnSelect = Place(new QPushButton(QStringLiteral("1. &Select firmware file"), client),
                    "btnSelect", 8, 80, 505, 49);

  pcPort = Place(new QTabWidget(client), "pcPort", 8, 136, 265, 113);
  tsCom = new QWidget;
  tsCom->setObjectName(QStringLiteral("tsCom"));
  tsNet = new QWidget;
  tsNet->setObjectName(QStringLiteral("tsNet"));
  pcPort->addTab(tsCom, QStringLiteral("COM"));
  pcPort->addTab(tsNet, QStringLiteral("NET"));
  pcPort->setCurrentWidget(tsCom);

  lblPort = RightLabel(tsCom, "lblPort", "Port:", 0, 9, 71, 28);
  cmbPort = EditableCombo(tsCom, "cmbPort", 80, 5, 169, 24);
  cmbPort->addItem(QStringLiteral("COM1"));
  cmbPort->setCurrentIndex(0);
  lblSpeed = RightLabel(tsCom, "lblSpeed", "Speed:", 0, 45, 71, 28);
  cmbBaudrate = EditableCombo(tsCom, "cmbBaudrate", 80, 43, 169, 24);
  for (const char* setting : link::kLineSettingChoices) {
    cmbBaudrate->addItem(QString::fromLatin1(setting));
  }
  cmbBaudrate->setCurrentIndex(link::kDefaultLineSettingChoice);

  lblIP = RightLabel(tsNet, "lblIP", "IP:", 0, 9, 73, 28);
  edIP = Place(new QLineEdit(QStringLiteral("192.168.1.101"), tsNet), "edIP", 80, 5, 169, 24);
  edIP->setMaxLength(15);
  lblNetPort = RightLabel(tsNet, "lblNetPort", "Port:", 0, 45, 73, 28);
  edPort = Place(new QLineEdit(QStringLiteral("5003"), tsNet), "edPort", 80, 43, 81, 24);

  lblSetID = RightLabel(client, "lblSetID", "ID :", 288, 142, 41, 22);
  pnSetID = Place(new Panel(client), "pnSetID", 336, 140, 57, 25);
  pnSetID->setText(QStringLiteral("0001"));
  Face(pnSetID, kSkyBlue);
  pnSetID->SetSingleBorder(true);

  // The ID scroll bar has no handler: moving it changes nothing.
  sbID = Place(new QScrollBar(Qt::Horizontal, client), "sbID", 400, 140, 113, 23);
  sbID->setRange(1, 9999);
  sbID->setValue(1);
  sbID->setPageStep(10);
  sbID->setFocusPolicy(Qt::StrongFocus);

  btnConnect = Place(new QPushButton(QStringLiteral("2. &Connect device"), client), "btnConnect",
                     280, 169, 233, 48);
  btnConnect->setEnabled(false);

  lblDevice = RightLabel(client, "lblDevice", "Device :", 280, 224, 89, 25);
  pnDevice = Place(new Panel(client), "pnDevice", 376, 221, 137, 28);
  HighlightLook(pnDevice, 13, "Device type");

  Panel1 = Place(new Panel(client), "Panel1", 7, 255, 106, 20);
  Panel1->setText(QStringLiteral("Program/Download"));
  HighlightLook(Panel1, 11, "Fimeware filename");
  pbProgram = Bar(client, "pbProgram", 112, 256);

  Panel2 = Place(new Panel(client), "Panel2", 7, 279, 106, 20);
  Panel2->setText(QStringLiteral("Verify check"));
  HighlightLook(Panel2, 11, "Fimeware filename");
  pbVerify = Bar(client, "pbVerify", 112, 280);

  btnAuto =
      Place(new QPushButton(QStringLiteral("3. &Upgrade"), client), "btnAuto", 8, 304, 505, 49);
  btnAuto->setEnabled(false);

  // A firmware file dropped anywhere on the window selects it; the edit
  // fields would otherwise take the file's name as typed text.
  setAcceptDrops(true);
  for (QLineEdit* edit : {edIP, edPort, cmbPort->lineEdit(), cmbBaudrate->lineEdit()}) {
    edit->setAcceptDrops(false);
  }

  // Tab order: the three steps, the link tabs (port then speed on COM, port
  // then address on NET), then the ID scroll bar. Panels and bars take no
  // focus.
  setTabOrder(btnSelect, btnConnect);
  setTabOrder(btnConnect, btnAuto);
  setTabOrder(btnAuto, pcPort);
  setTabOrder(pcPort, cmbPort);
  setTabOrder(cmbPort, cmbBaudrate);
  setTabOrder(cmbBaudrate, edPort);
  setTabOrder(edPort, edIP);
  setTabOrder(edIP, sbID);

  tmrBusy = new QTimer(this);
  tmrBusy->setObjectName(QStringLiteral("tmrBusy"));
  tmrBusy->setInterval(200);
  tmrNote = new QTimer(this);
  tmrNote->setObjectName(QStringLiteral("tmrNote"));
  tmrNote->setInterval(100);
  tmrNote->setSingleShot(true);

  BuildMenus();
}

void TfrmModule::BuildMenus() {
  QMenuBar* bar = menuBar();
  bar->setObjectName(QStringLiteral("mnuMain"));
  // The menu bar is the window system's and keeps the desktop font whatever
  // language font the window takes.
  bar->setFont(OwnFont(QApplication::font(bar)));

  mnuFile = bar->addMenu(QStringLiteral("&File"));
  mnuFile->setObjectName(QStringLiteral("mnuFile"));
  mnuExit = mnuFile->addAction(QStringLiteral("&Exit"));
  mnuExit->setObjectName(QStringLiteral("mnuExit"));

  mnuLanguage = bar->addMenu(QStringLiteral("&Language"));
  mnuLanguage->setObjectName(QStringLiteral("mnuLanguage"));
  mnuEnglish = mnuLanguage->addAction(QStringLiteral("&English"));
  mnuEnglish->setObjectName(QStringLiteral("mnuEnglish"));
  mnuSimplified = mnuLanguage->addAction(QStringLiteral("&Simplified Chinese"));
  mnuSimplified->setObjectName(QStringLiteral("mnuSimplified"));
  mnuTraditional = mnuLanguage->addAction(QStringLiteral("&Traditional Chinese"));
  mnuTraditional->setObjectName(QStringLiteral("mnuTraditional"));
  for (QAction* item : {mnuEnglish, mnuSimplified, mnuTraditional}) {
    item->setCheckable(true);
  }
}

}  // namespace ql::app
