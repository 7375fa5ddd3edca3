// The window test fixture.
#include "window_fixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <thread>

#include "app/panel.h"
#include "settings/qsettings_store.h"

namespace ql::testing_support {

void FakeDialogs::ShowNote(QWidget* /*parent*/, const QString& caption, const QString& text) {
  notes.push_back({caption, text, std::chrono::steady_clock::now()});
}

std::optional<QString> FakeDialogs::ChooseFirmwareFile(QWidget* /*parent*/) {
  ++fileDialogs;
  if (choices.empty()) {
    return std::nullopt;
  }
  // Taken apart and put together again: GCC's -O2 otherwise warns that the
  // moved optional may be used uninitialised.
  const bool cancelled = !choices.front().has_value();
  const QString path = choices.front().value_or(QString());
  choices.pop_front();
  if (cancelled) {
    return std::nullopt;
  }
  return path;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    QTest::qWait(5);
  }
  return true;
}

void WindowTest::SetUp() {
  ASSERT_TRUE(config_.isValid());
  // Each window gets a store on a file in this test's own folder. The
  // default store would sit elsewhere in the same folder: a window that used
  // it instead of its own would not see what a test stored, and would still
  // write nowhere but here, never in the user's settings.
  settingsPath_ = config_.filePath(QStringLiteral("store/QL480TX_FirmwareUpgrade.ini"));
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(config_.filePath(QStringLiteral("home"))));
}

void WindowTest::TearDown() {
  if (window_ != nullptr) {
    ASSERT_TRUE(WaitFor([this] { return !window_->ProcedureRunning(); }));
    window_.reset();
  }
}

std::function<std::unique_ptr<settings::SettingsStore>()> WindowTest::TestStore() const {
  return [path = settingsPath_] { return std::make_unique<settings::QSettingsStore>(path); };
}

app::TfrmModule& WindowTest::MakeWindow() {
  app::WindowServices services = app::SystemServices();
  auto dialogs = std::make_unique<FakeDialogs>();
  dialogs_ = dialogs.get();
  services.dialogs = std::move(dialogs);
  services.tone = [this](int hz, int ms) { tones_.emplace_back(hz, ms); };
  services.portNames = [this] { return portNames_; };
  services.clock = &clock_;
  services.openStore = TestStore();
  services.openLink = [this](const link::LinkSettings& link,
                             std::string& why) -> std::unique_ptr<link::Transport> {
    opened_.push_back(link);
    if (onOpen_) {
      onOpen_();
    }
    if (openFails_) {
      why = "No such device";
      return nullptr;
    }
    auto transport = std::make_unique<ScriptedTransport>(clock_, link.linkKind);
    transport->SetResponder([this](const std::vector<std::uint8_t>& written) {
      return device_.Respond(written, deviceLog_);
    });
    return transport;
  };
  window_ = std::make_unique<app::TfrmModule>(std::move(services));
  return *window_;
}

QString WindowTest::Text(const char* name) const {
  QWidget* widget = Find(name);
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    return label->text();
  }
  if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    return button->text();
  }
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
    return edit->text();
  }
  ADD_FAILURE() << name << " has no text";
  return {};
}

bool WindowTest::Enabled(const char* name) const {
  return Find(name)->isEnabled();
}

QColor WindowTest::Indicator() const {
  return Find<app::CommShape>("shComm")->BrushColor();
}

void WindowTest::Store(const std::vector<std::pair<const char*, QVariant>>& values) {
  settings::QSettingsStore store(settingsPath_);
  ASSERT_TRUE(store.Open(true));
  for (const auto& [name, value] : values) {
    ASSERT_TRUE(value.typeId() == QMetaType::Int
                    ? store.WriteInt(name, static_cast<std::uint32_t>(value.toInt()))
                    : store.WriteString(name, value.toString().toStdString()))
        << name;
  }
}

QVariant WindowTest::Stored(const char* name) {
  settings::QSettingsStore store(settingsPath_);
  if (!store.Open(false)) {
    return {};
  }
  const std::optional<std::string> text = store.ReadString(name);
  return text ? QVariant(QString::fromStdString(*text)) : QVariant();
}

bool WindowTest::ConfigFolderEmpty() const {
  return QDir(config_.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty();
}

void WindowTest::Select(const QString& path) {
  dialogs_->choices.push_back(path);
  Find<QAbstractButton>("btnSelect")->click();
}

void WindowTest::RunStep(const char* button) {
  Find<QAbstractButton>(button)->click();
  ASSERT_TRUE(window_->ProcedureRunning()) << button << " started nothing";
  ASSERT_TRUE(WaitFor([this] { return !window_->ProcedureRunning(); }));
}

}  // namespace ql::testing_support
