// The window's start-up state, layout, languages, note box and indicator.
#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QScrollBar>
#include <QTabWidget>
#include <QTimer>

#include "app/application.h"
#include "app/language_font.h"
#include "app/panel.h"
#include "text/message_table.h"
#include "window_fixture.h"

namespace ql::testing_support {
namespace {

using app::kIndicatorRed;
using app::kIndicatorYellow;
using text::Language;

QString Msg(int number, Language language) {
  const std::string_view text = text::Message(number, language);
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

TEST_F(WindowTest, FirstStartShowsTheDefaultsAndWritesNothing) {
  portNames_ = {" /dev/ttyS0\t", "/dev/ttyUSB0"};
  auto& window = MakeWindow();
  window.show();
  ASSERT_TRUE(WaitFor([this] { return dialogs_->notes.size() == 1; }));

  EXPECT_TRUE(Enabled("btnSelect"));
  EXPECT_FALSE(Enabled("btnConnect"));
  EXPECT_FALSE(Enabled("btnAuto"));
  EXPECT_EQ(Indicator(), kIndicatorRed);
  for (const char* bar : {"pbProgram", "pbVerify"}) {
    EXPECT_EQ(Find<QProgressBar>(bar)->value(), 0) << bar;
    EXPECT_EQ(Find<QProgressBar>(bar)->maximum(), 100) << bar;
  }
  EXPECT_EQ(Text("pnMsg"), "Select firmware file");
  EXPECT_EQ(window.windowTitle(), "QL480TX-V5 upgrade firmware utility V1.02");
  // The title is the application's name, not a display name that the window
  // system would append to the caption a second time.
  EXPECT_EQ(QCoreApplication::applicationName(), "QL480TX-V5 upgrade firmware utility");
  EXPECT_EQ(Text("lblDevice"), "Device:");
  EXPECT_EQ(Find<QAction>("mnuExit")->text(), "E&xit");
  EXPECT_EQ(Find<QTabWidget>("pcPort")->currentWidget(), Find("tsCom"));
  auto* ports = Find<QComboBox>("cmbPort");
  ASSERT_EQ(ports->count(), 2);
  EXPECT_EQ(ports->itemText(0), "/dev/ttyS0");
  EXPECT_EQ(ports->currentText(), "COM1");
  auto* speeds = Find<QComboBox>("cmbBaudrate");
  EXPECT_EQ(speeds->count(), 18);
  EXPECT_EQ(speeds->currentIndex(), 5);
  EXPECT_EQ(speeds->itemText(17), "921600,e,8,1");
  EXPECT_EQ(speeds->currentText(), "19200,e,8,1");
  EXPECT_EQ(Text("edIP"), "192.168.1.101");
  EXPECT_EQ(Text("edPort"), "5003");
  EXPECT_EQ(Text("pnSetID"), "0001");
  EXPECT_EQ(window.State().blockCount, 0);
  EXPECT_TRUE(ConfigFolderEmpty());
}

TEST_F(WindowTest, StoredSettingsChooseTabTextsAndLanguage) {
  Store({{"TYPE", 5},
         {"ComPortName", "/dev/ttyACM3"},
         {"ComBaudRate", "115200,n,8,1"},
         {"NetIP", "10.0.0.7"},
         {"NetPort", "4001"},
         {"LanguageFlag", "ChineseBIG5"}});
  auto& window = MakeWindow();
  window.show();

  EXPECT_EQ(Find<QTabWidget>("pcPort")->currentWidget(), Find("tsNet"));
  EXPECT_EQ(window.State().link.linkKind, link::LinkKind::Tcp);
  EXPECT_EQ(Find<QComboBox>("cmbPort")->currentText(), "/dev/ttyACM3");
  EXPECT_EQ(Find<QComboBox>("cmbBaudrate")->currentText(), "115200,n,8,1");
  EXPECT_EQ(Text("edIP"), "10.0.0.7");
  EXPECT_EQ(Text("edPort"), "4001");
  EXPECT_EQ(Text("pnMsg"), Msg(1, Language::Traditional));
  EXPECT_EQ(Text("lblDevice"), Msg(29, Language::Traditional) + ":");
  EXPECT_TRUE(Find<QAction>("mnuTraditional")->isChecked());
  EXPECT_FALSE(Find<QAction>("mnuEnglish")->isChecked());
}

// Stored texts show as they were typed, to the last invisible character.
TEST_F(WindowTest, StoredTextsShowEveryCharacter) {
  const QString port = QChar(0xFEFF) + QStringLiteral("/dev/ttyS9");
  Store({{"ComPortName", port}, {"ComBaudRate", QStringLiteral("19200,e,8,1,@")}});
  MakeWindow();
  EXPECT_EQ(Find<QComboBox>("cmbPort")->currentText(), port);
  EXPECT_EQ(Find<QComboBox>("cmbBaudrate")->currentText(), "19200,e,8,1,@");
}

TEST_F(WindowTest, LayoutPlacesControlsAsDesigned) {
  auto& window = MakeWindow();
  window.show();
  EXPECT_EQ(window.centralWidget()->size(), QSize(520, 359));
  EXPECT_EQ(window.centralWidget()->y(), window.menuBar()->height());
  EXPECT_EQ(window.minimumSize(), window.maximumSize());
  EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);

  const struct {
    const char* name;
    const char* parent;
    QRect rect;
  } placements[] = {
      {"pnMsg", "clientArea", {8, 4, 505, 40}},
      {"shComm", "pnMsg", {470, 8, 23, 20}},
      {"pcPort", "clientArea", {8, 136, 265, 113}},
      {"cmbBaudrate", "tsCom", {80, 43, 169, 24}},
      {"edPort", "tsNet", {80, 43, 81, 24}},
      {"btnConnect", "clientArea", {280, 169, 233, 48}},
      {"pbVerify", "clientArea", {112, 280, 401, 17}},
      {"btnAuto", "clientArea", {8, 304, 505, 49}},
  };
  for (const auto& p : placements) {
    QWidget* widget = Find(p.name);
    EXPECT_EQ(widget->parentWidget()->objectName(), p.parent) << p.name;
    EXPECT_EQ(widget->geometry(), p.rect) << p.name;
  }

  EXPECT_EQ(Find<QLineEdit>("edIP")->maxLength(), 15);
  auto* id = Find<QScrollBar>("sbID");
  EXPECT_EQ(id->minimum(), 1);
  EXPECT_EQ(id->maximum(), 9999);
  EXPECT_EQ(id->pageStep(), 10);
  id->setValue(500);  // no handler: the ID stays
  EXPECT_EQ(Text("pnSetID"), "0001");
  EXPECT_EQ(Find("Panel2")->toolTip(), "Fimeware filename");
  EXPECT_FALSE(Find("shComm")->accessibleName().isEmpty());
}

TEST_F(WindowTest, TabOrderFollowsTheSteps) {
  MakeWindow();
  const QStringList focusable = {"btnSelect",   "btnConnect", "btnAuto", "pcPort", "cmbPort",
                                 "cmbBaudrate", "edPort",     "edIP",    "sbID"};
  QStringList order;
  QWidget* widget = Find("btnSelect");
  for (int i = 0; i < 200 && order.size() < focusable.size(); ++i) {
    if (focusable.contains(widget->objectName()) && !order.contains(widget->objectName())) {
      order << widget->objectName();
    }
    widget = widget->nextInFocusChain();
  }
  EXPECT_EQ(order, focusable);
}

TEST_F(WindowTest, NoteIsShownOnceAbout100msAfterShowing) {
  auto& window = MakeWindow();
  const auto shown = std::chrono::steady_clock::now();
  window.show();
  ASSERT_TRUE(WaitFor([this] { return !dialogs_->notes.empty(); }));
  EXPECT_GE(dialogs_->notes[0].at - shown, std::chrono::milliseconds(90));
  EXPECT_EQ(dialogs_->notes[0].caption, "Note !");
  EXPECT_EQ(dialogs_->notes[0].text, Msg(35, Language::English));
  // A one-shot: nothing is left to show it again.
  EXPECT_FALSE(Find<QTimer>("tmrNote")->isActive());
  EXPECT_EQ(dialogs_->notes.size(), 1U);
}

TEST_F(WindowTest, LanguageChangeReappliesStoresAndShowsTheNoteAgain) {
  auto& window = MakeWindow();
  window.show();
  ASSERT_TRUE(WaitFor([this] { return dialogs_->notes.size() == 1; }));
  Select(QStringLiteral("/nonexistent/a.QLB"));  // Connect enabled, status changed
  ASSERT_TRUE(Enabled("btnConnect"));
  const QFont panelFont = Find("pnFile")->font();
  const QFont menuFont = window.menuBar()->font();

  const struct {
    const char* item;
    Language language;
    const char* flag;
  } choices[] = {{"mnuSimplified", Language::Simplified, "ChineseGB"},
                 {"mnuTraditional", Language::Traditional, "ChineseBIG5"},
                 {"mnuEnglish", Language::English, "English"},
                 {"mnuEnglish", Language::English, "English"}};  // the current one again
  std::size_t notes = 1;
  for (const auto& choice : choices) {
    SCOPED_TRACE(choice.item);
    Find<QAction>(choice.item)->trigger();
    EXPECT_EQ(window.CurrentLanguage(), choice.language);
    EXPECT_EQ(Stored("LanguageFlag").toString(), choice.flag);
    EXPECT_EQ(Text("pnMsg"), Msg(1, choice.language));
    EXPECT_EQ(Text("btnSelect"), Msg(25, choice.language));
    EXPECT_EQ(Text("lblDevice"), Msg(29, choice.language) + ":");
    EXPECT_EQ(Find<QMenu>("mnuLanguage")->title(), Msg(2, choice.language));
    EXPECT_EQ(window.windowTitle(), Msg(0, choice.language));
    EXPECT_TRUE(Enabled("btnConnect"));
    EXPECT_FALSE(Enabled("btnAuto"));
    for (const char* item : {"mnuEnglish", "mnuSimplified", "mnuTraditional"}) {
      EXPECT_EQ(Find<QAction>(item)->isChecked(), std::string_view(item) == choice.item) << item;
    }
    EXPECT_EQ(Find<QAction>("mnuEnglish")->text(), "&English");
    EXPECT_EQ(Find<QAction>("mnuSimplified")->text(), Msg(6, Language::Simplified));
    EXPECT_EQ(Find<QAction>("mnuTraditional")->text(), Msg(6, Language::Traditional));
    // The controls follow the language's font; the panels and menu keep theirs.
    EXPECT_EQ(Find("btnSelect")->font().family(), app::LanguageFont(choice.language).family());
    EXPECT_EQ(Find("pnFile")->font(), panelFont);
    EXPECT_EQ(window.menuBar()->font(), menuFont);

    ASSERT_TRUE(WaitFor([&] { return dialogs_->notes.size() == notes + 1; }));
    ++notes;
    EXPECT_EQ(dialogs_->notes.back().caption, Msg(34, choice.language));
    EXPECT_EQ(dialogs_->notes.back().text, Msg(35, choice.language));
  }
}

TEST_F(WindowTest, OnlyBusyOneBlinksAndThePhaseCarriesOver) {
  auto& window = MakeWindow();
  auto* timer = Find<QTimer>("tmrBusy");
  EXPECT_EQ(timer->interval(), 200);
  for (const std::uint8_t off : {0, 2, 255}) {
    window.SetBusy(1);
    EXPECT_TRUE(timer->isActive());
    window.SetBusy(off);
    EXPECT_FALSE(timer->isActive()) << int(off);
  }

  // The first tick ever paints red; stopping keeps the colour, and the next
  // busy period goes on from there.
  const struct {
    std::uint8_t busyBefore;
    QColor colour;
    int tag;
  } ticks[] = {{1, kIndicatorRed, 1}, {1, kIndicatorYellow, 0}, {2, kIndicatorYellow, 0},
               {1, kIndicatorRed, 1}, {0, kIndicatorRed, 1},    {1, kIndicatorYellow, 0}};
  for (const auto& tick : ticks) {
    window.SetBusy(tick.busyBefore);
    if (tick.busyBefore == 1) {
      window.tmrBusyTimer();
    }
    EXPECT_EQ(Indicator(), tick.colour);
    EXPECT_EQ(window.BusyTag(), tick.tag);
  }

  // And the real timer does blink.
  window.SetBusy(1);
  ASSERT_TRUE(WaitFor([&] { return Indicator() == kIndicatorRed; }));
  ASSERT_TRUE(WaitFor([&] { return Indicator() == kIndicatorYellow; }));
  window.SetBusy(0);
}

TEST_F(WindowTest, ExitClosesAtOnceAndStoresNothing) {
  auto& window = MakeWindow();
  window.show();
  Find<QAction>("mnuExit")->trigger();
  EXPECT_FALSE(window.isVisible());
  EXPECT_TRUE(ConfigFolderEmpty());
}

TEST_F(WindowTest, EscapedExceptionIsShownAndTheLoopGoesOn) {
  struct Throwing : QObject {
    bool event(QEvent* event) override {
      if (event->type() == QEvent::User) {
        throw std::runtime_error("broken handler");
      }
      return QObject::event(event);
    }
  } throwing;
  QStringList shown;
  app::CurrentApplication()->SetExceptionDisplay([&](const QString& text) { shown << text; });
  QEvent event(QEvent::User);
  EXPECT_FALSE(QCoreApplication::sendEvent(&throwing, &event));
  QTimer::singleShot(0, &throwing, [] { throw std::length_error("from a timer"); });
  EXPECT_TRUE(WaitFor([&] { return shown.size() == 2; }));
  EXPECT_EQ(shown, QStringList({"broken handler", "from a timer"}));
  app::CurrentApplication()->SetExceptionDisplay(
      [](const QString& text) { ADD_FAILURE() << text.toStdString(); });
}

}  // namespace
}  // namespace ql::testing_support
