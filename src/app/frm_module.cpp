// The window's handlers: start-up, captions and languages, file selection,
// the blinking indicator, and the hand-over of connect and upgrade to a
// worker thread.
#include "app/frm_module.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QStringDecoder>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <stdexcept>

#include "app/application.h"
#include "app/dialogs.h"
#include "app/language_font.h"
#include "app/panel.h"
#include "app/plain_progress_bar.h"
#include "app/queued_view.h"
#include "image/firmware_file.h"
#include "settings/port_list.h"
#include "settings/settings.h"
#include "settings/user_store.h"
#include "text/message_table.h"
#include "tone/tone_player.h"

namespace ql::app {
namespace {

// Every character kept, a U+FEFF at the start too (QString::fromUtf8 would
// drop it as a byte-order mark), so a stored text shows as it was typed.
QString FromUtf8(std::string_view text) {
  QStringDecoder fromUtf8(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom |
                                                    QStringDecoder::Flag::Stateless);
  return fromUtf8(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
}

// Header and device texts are 8-bit characters, one byte each.
QString FromBytes(std::string_view bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::filesystem::path ToPath(const QString& path) {
  return std::filesystem::path(QFile::encodeName(path).toStdString());
}

}  // namespace

WindowServices SystemServices() {
  WindowServices services;
  services.dialogs = std::make_unique<SystemDialogs>();
  services.openLink = &link::OpenLink;
  auto player = std::make_shared<tone::TonePlayer>();
  services.tone = [player](int hz, int ms) { player->Start(hz, ms); };
  services.openStore = &settings::OpenUserSettingsStore;
  services.portNames = &settings::SystemPortNames;
  return services;
}

TfrmModule::TfrmModule(WindowServices services, QWidget* parent)
    : QMainWindow(parent), services_(std::move(services)) {
  view_ = std::make_unique<QueuedView>(*this, services_.tone);
  BuildLayout();
  ConnectHandlers();
  FormCreate();
}

TfrmModule::~TfrmModule() {
  // The worker holds references into this window; it must be done first.
  if (worker_ != nullptr) {
    worker_->wait();
    delete worker_;
    worker_ = nullptr;
  }
  ShowHourglass(false);
}

void TfrmModule::ConnectHandlers() {
  connect(btnSelect, &QPushButton::clicked, this, &TfrmModule::btnSelectClick);
  connect(btnConnect, &QPushButton::clicked, this, &TfrmModule::btnConnectClick);
  connect(btnAuto, &QPushButton::clicked, this, &TfrmModule::btnAutoClick);
  connect(tmrBusy, &QTimer::timeout, this, &TfrmModule::tmrBusyTimer);
  connect(tmrNote, &QTimer::timeout, this, &TfrmModule::tmrNoteTimer);
  connect(mnuExit, &QAction::triggered, this, &TfrmModule::mnuExitClick);
  connect(mnuEnglish, &QAction::triggered, this, &TfrmModule::mnuEnglishClick);
  connect(mnuSimplified, &QAction::triggered, this, &TfrmModule::mnuSimplifiedClick);
  connect(mnuTraditional, &QAction::triggered, this, &TfrmModule::mnuTraditionalClick);
}

void TfrmModule::ShowCentred() {
  adjustSize();
  if (const QScreen* screen = this->screen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
  show();
}

// ---------------------------------------------------------------- start-up

void TfrmModule::FormCreate() {
  std::unique_ptr<settings::SettingsStore> store = services_.openStore();
  const settings::Settings loaded = settings::LoadSettings(*store);
  store.reset();
  state_.link = loaded.link;
  languageFlag_ = loaded.languageFlag;
  currentLanguage_ = loaded.currentLanguage;

  cmbPort->clear();
  const std::vector<std::string> ports = settings::BuildPortList(
      services_.portNames ? services_.portNames() : std::vector<std::string>{});
  for (const std::string& port : ports) {
    cmbPort->addItem(FromUtf8(port));
  }
  cmbPort->setCurrentIndex(0);
  // Shown even when it is not one of the listed ports.
  cmbPort->setEditText(FromUtf8(state_.link.comPortName));
  cmbBaudrate->setEditText(FromUtf8(state_.link.comBaudRate));
  edIP->setText(FromUtf8(state_.link.netIp));
  edPort->setText(FromUtf8(state_.link.netPort));
  pcPort->setCurrentWidget(state_.link.linkKind == link::LinkKind::Tcp ? tsNet : tsCom);

  state_.blockCount = 0;
}

void TfrmModule::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // A window restored from the task bar is shown by the window system;
  // only the program's own showing runs the show handler.
  if (!event->spontaneous()) {
    FormShow();
  }
}

void TfrmModule::ApplyLanguageFont() {
  // Controls with a font of their own (the information panels and the
  // menu bar) keep it; every other control follows the window's.
  setFont(LanguageFont(currentLanguage_));
}

QString TfrmModule::MessageText(int number) const {
  return FromUtf8(text::Message(number, currentLanguage_));
}

void TfrmModule::FormShow() {
  namespace msg = text::msg;
  ApplyLanguageFont();

  mnuEnglish->setChecked(currentLanguage_ == text::Language::English);
  mnuSimplified->setChecked(currentLanguage_ == text::Language::Simplified);
  mnuTraditional->setChecked(currentLanguage_ == text::Language::Traditional);

  setWindowTitle(MessageText(msg::kCaption));
  pnMsg->setText(MessageText(msg::kSelectFirmwareFile));
  pcPort->setTabText(pcPort->indexOf(tsNet), MessageText(msg::kTabNet));
  pcPort->setTabText(pcPort->indexOf(tsCom), MessageText(msg::kTabCom));
  lblPort->setText(MessageText(msg::kPort));
  lblNetPort->setText(MessageText(msg::kPort));
  lblSpeed->setText(MessageText(msg::kSpeed));
  lblDevice->setText(MessageText(msg::kDevice) + QLatin1Char(':'));
  btnSelect->setText(MessageText(msg::kButtonSelect));
  btnConnect->setText(MessageText(msg::kButtonConnect));
  btnAuto->setText(MessageText(msg::kButtonUpgrade));
  mnuLanguage->setTitle(MessageText(msg::kMenuLanguage));
  // Each language's item is named in that language, whatever is current.
  mnuEnglish->setText(FromUtf8(text::Message(msg::kMenuLanguageItem, text::Language::English)));
  mnuSimplified->setText(
      FromUtf8(text::Message(msg::kMenuLanguageItem, text::Language::Simplified)));
  mnuTraditional->setText(
      FromUtf8(text::Message(msg::kMenuLanguageItem, text::Language::Traditional)));
  mnuFile->setTitle(MessageText(msg::kMenuFile));
  mnuExit->setText(MessageText(msg::kMenuExit));

  tmrNote->start();
}

void TfrmModule::tmrNoteTimer() {
  tmrNote->stop();
  services_.dialogs->ShowNote(this, MessageText(text::msg::kNoteCaption),
                              MessageText(text::msg::kNoteText));
}

// ---------------------------------------------------------------- indicator

void TfrmModule::SetBusy(std::uint8_t value) {
  if (value == 1) {
    // Switching on while already on leaves the rhythm as it is.
    if (!tmrBusy->isActive()) {
      tmrBusy->start();
    }
  } else {
    tmrBusy->stop();
  }
}

void TfrmModule::tmrBusyTimer() {
  // The phase is never reset: a new busy period goes on where the last one
  // stopped.
  if (busyTag_ == 1) {
    busyTag_ = 0;
    shComm->SetBrushColor(kIndicatorYellow);
  } else {
    busyTag_ = 1;
    shComm->SetBrushColor(kIndicatorRed);
  }
}

// ---------------------------------------------------------------- menus

void TfrmModule::mnuExitClick() {
  close();
}

void TfrmModule::ChooseLanguage(text::Language language) {
  if (ProcedureRunning()) {
    return;
  }
  currentLanguage_ = language;
  languageFlag_ = std::string(text::LanguageFlagOf(language));
  std::unique_ptr<settings::SettingsStore> store = services_.openStore();
  settings::SaveLanguage(*store, languageFlag_);
  store.reset();
  FormShow();
}

void TfrmModule::mnuEnglishClick() {
  ChooseLanguage(text::Language::English);
}
void TfrmModule::mnuSimplifiedClick() {
  ChooseLanguage(text::Language::Simplified);
}
void TfrmModule::mnuTraditionalClick() {
  ChooseLanguage(text::Language::Traditional);
}

// ---------------------------------------------------------------- selection

void TfrmModule::btnSelectClick() {
  if (ProcedureRunning()) {
    return;
  }
  const std::optional<QString> chosen = services_.dialogs->ChooseFirmwareFile(this);
  if (!chosen) {
    return;
  }
  pbProgram->SetPosition(0);
  pbVerify->SetPosition(0);
  selectedPath_ = ToPath(*chosen);
  pnFile->setText(*chosen);
  pnMsg->setText(
      FromUtf8(text::StripAccelerator(text::Message(text::msg::kButtonConnect, currentLanguage_))));
  btnConnect->setEnabled(true);
  btnAuto->setEnabled(false);
  // A file that cannot be read leaves no header behind: a stale one would
  // be compared with the device at the next connect.
  selectedHeader_ = image::ReadHeaderText(selectedPath_).value_or(std::string());
  ShowFileVersionText(selectedHeader_);
}

// ---------------------------------------------------------------- procedures

settings::LinkControls TfrmModule::LinkControlsNow() const {
  settings::LinkControls controls;
  controls.activeTab =
      pcPort->currentWidget() == tsNet ? link::LinkKind::Tcp : link::LinkKind::Serial;
  controls.port = cmbPort->currentText().toStdString();
  controls.baudRate = cmbBaudrate->currentText().toStdString();
  controls.ip = edIP->text().toStdString();
  controls.netPort = edPort->text().toStdString();
  return controls;
}

void TfrmModule::btnConnectClick() {
  if (ProcedureRunning() || !btnConnect->isEnabled()) {
    return;
  }
  // Everything the procedure reads from controls is taken here, on this
  // thread; the controls are disabled while it runs.
  upgrade::ConnectInputs inputs;
  inputs.link = state_.link;
  settings::TakeLinkControls(LinkControlsNow(), inputs.link);
  inputs.deviceId = pnSetID->text().toStdString();
  inputs.fileVersionText = fileVersionBytes_;
  inputs.selectedHeader = selectedHeader_;
  inputs.firmwarePath = selectedPath_;
  RunProcedure([this, inputs = std::move(inputs)](upgrade::Environment& env) {
    upgrade::ConnectProcedure(inputs, state_, env);
  });
}

void TfrmModule::btnAutoClick() {
  if (ProcedureRunning() || !btnAuto->isEnabled()) {
    return;
  }
  RunProcedure([this, deviceId = pnSetID->text().toStdString()](upgrade::Environment& env) {
    upgrade::UpgradeSequence(deviceId, state_, env);
  });
}

void TfrmModule::RunProcedure(std::function<void(upgrade::Environment&)> body) {
  worker_ = QThread::create([this, body = std::move(body)] {
    try {
      link::SystemClock systemClock;
      link::Clock& clock = services_.clock != nullptr ? *services_.clock : systemClock;
      std::unique_ptr<settings::SettingsStore> store =
          services_.openStore ? services_.openStore() : nullptr;
      upgrade::LinkStorer storeLink;
      if (store != nullptr) {
        storeLink = [&store](const link::LinkSettings& link) {
          settings::SaveLinkSettings(*store, link);
        };
      }
      upgrade::Environment env{*view_, clock, services_.openLink, std::move(storeLink)};
      body(env);
    } catch (const std::exception& error) {
      QMetaObject::invokeMethod(
          this, [this, what = std::string(error.what())] { RecoverFromException(what); },
          Qt::QueuedConnection);
    }
  });
  worker_->setObjectName(QStringLiteral("procedure"));
  connect(worker_, &QThread::finished, this, &TfrmModule::ProcedureEnded);
  worker_->start();
}

void TfrmModule::ProcedureEnded() {
  if (worker_ == nullptr) {
    return;
  }
  worker_->wait();
  delete worker_;
  worker_ = nullptr;
  if (closePending_) {
    closePending_ = false;
    close();
  }
}

void TfrmModule::RecoverFromException(const std::string& what) {
  // A procedure cut short by an exception hands the window back as a
  // failed step would, then the exception is shown like any other.
  SetBusy(0);
  ShowIndicator(upgrade::Indicator::Red);
  ShowHourglass(false);
  EnableWindow(true);
  if (Application* app = CurrentApplication()) {
    app->ShowException(std::runtime_error(what));
  }
}

void TfrmModule::closeEvent(QCloseEvent* event) {
  // Closing in the middle of a firmware write would leave the device half
  // written: the window closes once the procedure has ended.
  if (ProcedureRunning()) {
    closePending_ = true;
    event->ignore();
    return;
  }
  event->accept();
}

void TfrmModule::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
    // A focused button takes Enter itself; anywhere else Enter presses
    // Connect, the window's default button, while it is enabled.
    auto* focused = qobject_cast<QPushButton*>(focusWidget());
    QPushButton* target = focused != nullptr && focused->isEnabled() ? focused : btnConnect;
    if (target->isEnabled()) {
      event->accept();
      target->click();
      return;
    }
  }
  QMainWindow::keyPressEvent(event);
}

// ---------------------------------------------------------------- the view

void TfrmModule::ShowStatus(int number, std::string_view suffix) {
  const std::string shown = text::StripAccelerator(text::Message(number, currentLanguage_));
  pnMsg->setText(FromUtf8(shown) + FromUtf8(suffix));
}

void TfrmModule::ShowIndicator(upgrade::Indicator colour) {
  shComm->SetBrushColor(colour == upgrade::Indicator::Yellow ? kIndicatorYellow : kIndicatorRed);
}

PlainProgressBar* TfrmModule::BarOf(upgrade::Bar bar) const {
  return bar == upgrade::Bar::Program ? pbProgram : pbVerify;
}

void TfrmModule::ShowProgressMaximum(upgrade::Bar bar, int maximum) {
  PlainProgressBar* target = BarOf(bar);
  const int position = std::max(target->value(), target->minimum());
  target->setMaximum(std::max(maximum, target->minimum()));
  target->SetPosition(position);
}

void TfrmModule::ShowProgressPosition(upgrade::Bar bar, int position) {
  BarOf(bar)->SetPosition(position);
}

void TfrmModule::ShowHourglass(bool on) {
  if (on == hourglass_) {
    return;
  }
  hourglass_ = on;
  if (on) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}

void TfrmModule::EnableWindow(bool enabled) {
  // The client area and the menus stop taking input, while the window itself
  // keeps painting, so the status, the bars and the indicator stay live.
  if (!enabled && centralWidget()->isEnabled()) {
    focusBeforeDisable_ = focusWidget();
  }
  centralWidget()->setEnabled(enabled);
  menuBar()->setEnabled(enabled);
  if (enabled && focusBeforeDisable_ != nullptr && focusBeforeDisable_->isEnabled()) {
    focusBeforeDisable_->setFocus();
    focusBeforeDisable_ = nullptr;
  }
}

void TfrmModule::EnableUpgrade(bool enabled) {
  btnAuto->setEnabled(enabled);
}

void TfrmModule::ShowDeviceText(std::string_view text) {
  pnDevice->setText(FromBytes(text));
}

void TfrmModule::ShowFileVersionText(std::string_view text) {
  fileVersionBytes_ = std::string(text);
  pnFileVer->setText(FromBytes(text));
}

}  // namespace ql::app
