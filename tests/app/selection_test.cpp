// Choosing the firmware file: what the window shows, and what it keeps for
// the next connect.
#include <QAbstractButton>
#include <QFile>
#include <QProgressBar>
#include <QTemporaryDir>

#include "app/panel.h"
#include "text/message_table.h"
#include "window_fixture.h"

namespace ql::testing_support {
namespace {

QString PathOf(const TempFirmware& file) {
  return QString::fromStdString(file.path().string());
}

TEST_F(WindowTest, SelectionShowsPathHeaderAndEnablesConnect) {
  // Header bytes as the file holds them: cut at the first NUL, 16 at most,
  // fewer when the file is shorter; 8-bit characters shown one for one.
  using namespace std::string_literals;
  const struct {
    std::string file;
    QString shown;
    std::string bytes;
  } cases[] = {
      {"QL480\0TX-V5 1.00\x01\x02"s, "QL480", "QL480"},
      {"QL480TX-V5 1.00XYZ"s, "QL480TX-V5 1.00X", "QL480TX-V5 1.00X"},
      {"QL48"s, "QL48", "QL48"},
      {""s, "", ""},
      {"QL480TX-V5 \xE9t\xE9\0\0"s, QString::fromUtf8("QL480TX-V5 été"), "QL480TX-V5 \xE9t\xE9"},
  };
  QTemporaryDir files;
  MakeWindow().show();
  int n = 0;
  for (const auto& c : cases) {
    QFile out(files.filePath(QStringLiteral("f%1.QLB").arg(n++)));
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(c.file.data(), static_cast<qint64>(c.file.size()));
    out.close();
    Select(out.fileName());
    EXPECT_EQ(Text("pnFile"), out.fileName());
    EXPECT_EQ(Text("pnFileVer"), c.shown);
    EXPECT_EQ(window_->FileVersionBytes(), c.bytes);
    EXPECT_EQ(Text("pnMsg"), "2. Connect device");
    EXPECT_TRUE(Enabled("btnConnect"));
    EXPECT_FALSE(Enabled("btnAuto"));
  }
}

TEST_F(WindowTest, CancelledSelectionChangesNothing) {
  MakeWindow().show();
  TempFirmware file("QL480TX-V5 1.00 ", {7});
  Select(PathOf(file));
  const QStringList panels = {"pnFile", "pnFileVer", "pnMsg", "pnDevice"};
  QStringList before;
  for (const QString& name : panels) {
    before << Text(name.toLatin1().constData());
  }
  Find<QProgressBar>("pbProgram")->setValue(40);

  dialogs_->choices.push_back(std::nullopt);
  Find<QAbstractButton>("btnSelect")->click();
  EXPECT_EQ(dialogs_->fileDialogs, 2);
  for (int i = 0; i < panels.size(); ++i) {
    EXPECT_EQ(Text(panels[i].toLatin1().constData()), before[i]) << panels[i].toStdString();
  }
  EXPECT_EQ(Find<QProgressBar>("pbProgram")->value(), 40);
  EXPECT_TRUE(Enabled("btnConnect"));
  EXPECT_EQ(window_->FileVersionBytes(), "QL480TX-V5 1.00 ");
}

TEST_F(WindowTest, UnreadableFileClearsTheHeaderButStillEnablesConnect) {
  MakeWindow().show();
  TempFirmware good("QL480TX-V5 1.00 ", {7});
  Select(PathOf(good));
  ASSERT_EQ(Text("pnFileVer"), "QL480TX-V5 1.00 ");

  const QString missing = PathOf(good) + ".gone";
  Select(missing);
  EXPECT_EQ(Text("pnFile"), missing);
  EXPECT_EQ(Text("pnFileVer"), "");
  EXPECT_EQ(window_->FileVersionBytes(), "");
  EXPECT_TRUE(Enabled("btnConnect"));
}

TEST_F(WindowTest, PathIsShownAsPlainText) {
  MakeWindow().show();
  const QString odd = QStringLiteral("/tmp/<b>bold</b> & co.QLB");
  Select(odd);
  auto* panel = Find<app::Panel>("pnFile");
  EXPECT_EQ(panel->text(), odd);
  EXPECT_EQ(panel->textFormat(), Qt::PlainText);
}

TEST_F(WindowTest, StatusAfterSelectionIsInTheCurrentLanguageWithoutMarker) {
  Store({{"LanguageFlag", "ChineseGB"}});
  MakeWindow().show();
  Select(QStringLiteral("/nonexistent/x.QLB"));
  EXPECT_EQ(Text("pnMsg"), QString::fromUtf8("2. 连线装置(C)"));
}

}  // namespace
}  // namespace ql::testing_support
