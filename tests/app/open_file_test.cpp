// A firmware file given on the command line or dropped on the window: the
// same selection as the file dialog's. And the command line itself.
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QUrl>
#include <atomic>
#include <semaphore>

#include "app/command_line.h"
#include "window_fixture.h"

namespace ql::testing_support {
namespace {

using app::CommandLine;
using Action = app::CommandLine::Action;

TEST(CommandLine, FileHelpVersionAndQtOptions) {
  const struct {
    std::vector<std::string> args;
    Action action;
    std::string file;
    std::vector<std::string> qt;
    std::string error;
  } cases[] = {
      {{}, Action::Run, "", {}, ""},
      {{"fw.QLB"}, Action::Run, "fw.QLB", {}, ""},
      {{"--", "-odd.QLB"}, Action::Run, "-odd.QLB", {}, ""},
      {{"-platform", "offscreen", "fw.QLB", "-style=fusion", "--reverse"},
       Action::Run,
       "fw.QLB",
       {"-platform", "offscreen", "-style=fusion", "--reverse"},
       ""},
      {{"--help"}, Action::Help, "", {}, ""},
      {{"-V", "a.QLB", "b.QLB"}, Action::Version, "", {}, ""},
      {{"--version", "-h"}, Action::Help, "", {}, ""},
      {{"a.QLB", "b.QLB"}, Action::UsageError, "", {}, "one firmware file at most, 2 given"},
      {{"--flash", "--help"}, Action::UsageError, "", {}, "unknown option '--flash'"},
      {{"-platform"}, Action::UsageError, "", {}, "option '-platform' needs a value"},
      {{""}, Action::UsageError, "", {}, "an empty file name"},
      // Nothing that would steer a terminal reaches it.
      {{"--\x1b[2J\xc2\x9b\xff"},
       Action::UsageError,
       "",
       {},
       "unknown option '--?[2J?"
       "?'"},
  };
  for (const auto& c : cases) {
    const CommandLine line = app::ParseCommandLine(c.args);
    EXPECT_EQ(line.action, c.action) << testing::PrintToString(c.args);
    EXPECT_EQ(line.file, c.file) << testing::PrintToString(c.args);
    EXPECT_EQ(line.qtArguments, c.qt) << testing::PrintToString(c.args);
    EXPECT_EQ(line.error, c.error) << testing::PrintToString(c.args);
  }
}

class OpenFileTest : public WindowTest {
 protected:
  TempFirmware file_{"QL480TX-V5 1.00 ", PatternImage(1000)};
  QString FilePath() const { return QString::fromStdString(file_.path().string()); }

  // What a selection leaves on the controls.
  QStringList Controls() const {
    return {Text("pnFile"),
            Text("pnFileVer"),
            Text("pnMsg"),
            Enabled("btnConnect") ? "Connect on" : "Connect off",
            Enabled("btnAuto") ? "Upgrade on" : "Upgrade off",
            QString::number(Find<QProgressBar>("pbProgram")->value()),
            QString::number(Find<QProgressBar>("pbVerify")->value())};
  }

  // Drops `urls` on the window; whether the window took the drag and the drop.
  std::pair<bool, bool> Drop(const QList<QUrl>& urls) {
    QMimeData data;
    data.setUrls(urls);
    const QPoint at(260, 150);
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window_.get(), &enter);
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window_.get(), &drop);
    return {enter.isAccepted(), drop.isAccepted()};
  }
};

// After a connect and an upgrade, so that every control a selection resets
// has something to reset.
TEST_F(OpenFileTest, AFileOnTheCommandLineIsSelectedAsTheDialogWould) {
  MakeWindow().show();
  Select(FilePath());
  const QStringList byDialog = Controls();
  RunStep("btnConnect");
  RunStep("btnAuto");
  ASSERT_EQ(Text("pnMsg"), "Upgrade ok.");

  // A name relative to the current folder, as a file manager or a shell
  // would pass it.
  const QString before = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(file_.path().parent_path().string())));
  app::SelectStartFile(*window_, "./" + file_.path().filename().string());
  QDir::setCurrent(before);
  EXPECT_EQ(Controls(), byDialog);
  RunStep("btnConnect");
  EXPECT_EQ(Text("pnMsg"), "Connect device ok.");

  // A file that cannot be read: shown, no header, Connect on.
  app::SelectStartFile(*window_, file_.path().string() + ".gone");
  EXPECT_EQ(Text("pnFile"), FilePath() + ".gone");
  EXPECT_EQ(Text("pnFileVer"), "");
  EXPECT_TRUE(Enabled("btnConnect"));
  EXPECT_FALSE(Enabled("btnAuto"));
}

TEST_F(OpenFileTest, ADroppedFirmwareFileIsSelectedWhileNoStepRuns) {
  MakeWindow().show();
  EXPECT_TRUE(window_->acceptDrops());
  const QUrl url = QUrl::fromLocalFile(FilePath());
  QTemporaryDir folder;
  const QString lower = folder.filePath(QStringLiteral("fw.qlb"));
  ASSERT_TRUE(QFile::copy(FilePath(), lower));

  // Not a firmware file, or more than one: refused, nothing changes.
  const QStringList untouched = Controls();
  EXPECT_EQ(Drop({QUrl::fromLocalFile("/tmp/notes.txt")}), std::make_pair(false, false));
  EXPECT_EQ(Drop({url, url}), std::make_pair(false, false));
  EXPECT_EQ(Drop({QUrl("https://example.com/fw.QLB")}), std::make_pair(false, false));
  EXPECT_EQ(Controls(), untouched);

  EXPECT_EQ(Drop({url}), std::make_pair(true, true));
  EXPECT_EQ(Text("pnFile"), FilePath());
  EXPECT_EQ(Text("pnFileVer"), "QL480TX-V5 1.00 ");
  EXPECT_EQ(Text("pnMsg"), "2. Connect device");
  EXPECT_TRUE(Enabled("btnConnect"));

  // While a step runs, a drop is refused.
  std::counting_semaphore<4> release(0);
  std::atomic<bool> entered = false;
  struct Releaser {
    std::counting_semaphore<4>& s;
    ~Releaser() { s.release(); }  // also when an assertion ends the test
  } releaser{release};
  onOpen_ = [&] {
    entered = true;
    release.acquire();
  };
  Find<QAbstractButton>("btnConnect")->click();
  ASSERT_TRUE(WaitFor([&] { return entered.load(); }));
  const auto during = Drop({QUrl::fromLocalFile(lower)});
  release.release();
  EXPECT_EQ(during, std::make_pair(false, false));
  ASSERT_TRUE(WaitFor([this] { return !window_->ProcedureRunning(); }));
  EXPECT_EQ(Text("pnFile"), FilePath());

  // The lower-case name is the same file type.
  EXPECT_EQ(Drop({QUrl::fromLocalFile(lower)}), std::make_pair(true, true));
  EXPECT_EQ(Text("pnFile"), lower);
}

}  // namespace
}  // namespace ql::testing_support
