// The window's handlers: start-up, captions and languages, file selection,
// the blinking indicator, and the hand-over of connect and upgrade to a
// worker thread.
#include "app/frm_module.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QStringDecoder>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <optional>
#include <stdexcept>

#include "app/application.h"
#include "app/dialogs.h"
#include "app/language_font.h"
#include "app/panel.h"
#include "app/plain_progress_bar.h"
#include "app/window_events.h"
#include "image/firmware_file.h"
#include "settings/port_list.h"
#include "settings/settings.h"
#include "settings/user_store.h"
#include "text/message_table.h"
#include "tone/tone_player.h"
#include "upgrade/failure_reason.h"

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

// The status panel's context menu item. The message table has no such text;
// the Chinese ones follow its style, with the accelerator after the text.
QString CopyCaption(text::Language language) {
  switch (language) {
    case text::Language::Simplified:
      return QStringLiteral("复制(&C)");
    case text::Language::Traditional:
      return QStringLiteral("複製(&C)");
    case text::Language::English:
      break;
  }
  return QStringLiteral("&Copy");
}

// The firmware file a drag carries: exactly one local file named *.QLB (in
// either case, as the file type is registered); nullopt for anything else.
std::optional<QString> DraggedFirmwareFile(const QMimeData* data) {
  if (data == nullptr || !data->hasUrls() || data->urls().size() != 1) {
    return std::nullopt;
  }
  const QUrl url = data->urls().front();
  if (!url.isLocalFile()) {
    return std::nullopt;
  }
  const QString path = url.toLocalFile();
  if (QFileInfo(path).suffix().compare(QLatin1String("qlb"), Qt::CaseInsensitive) != 0) {
    return std::nullopt;
  }
  return path;
}

}  // namespace

WindowServices SystemServices() {
  WindowServices services;
  services.dialogs = std::make_unique<SystemDialogs>();
  services.openLink = &link::TryOpenLink;
  auto player = std::make_shared<tone::TonePlayer>();
  services.tone = [player](int hz, int ms) { player->Start(hz, ms); };
  services.openStore = &settings::OpenUserSettingsStore;
  services.portNames = &settings::SystemPortNames;
  return services;
}

void SelectStartFile(TfrmModule& window, const std::string& file) {
  // The bytes as given, so that a name in another encoding still opens.
  std::error_code error;
  std::filesystem::path path = std::filesystem::absolute(file, error);
  if (error) {
    path = file;
  }
  path = path.lexically_normal();
  window.SelectFirmwareFile(path, QFile::decodeName(QByteArray::fromStdString(path.string())));
}

TfrmModule::TfrmModule(WindowServices services, QWidget* parent)
    : QMainWindow(parent), services_(std::move(services)) {
  events_ = std::make_unique<WindowEvents>(*this, services_.tone);
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
  connect(mnuCopyReason, &QAction::triggered, this, &TfrmModule::mnuCopyReasonClick);
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
  mnuCopyReason->setText(CopyCaption(currentLanguage_));

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
  SelectFirmwareFile(ToPath(*chosen), *chosen);
}

void TfrmModule::SelectFirmwareFile(const std::filesystem::path& path, const QString& shown) {
  if (ProcedureRunning()) {
    return;
  }
  // Choosing a file is the first step: the reason of an earlier failure goes.
  ShowReason({});
  pbProgram->SetPosition(0);
  pbVerify->SetPosition(0);
  selectedPath_ = path;
  pnFile->setText(shown);
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
  events_->SetLinkLabel(upgrade::LinkLabel(inputs.link));
  RunProcedure([this, inputs = std::move(inputs)](upgrade::Environment& env) {
    upgrade::ConnectProcedure(inputs, state_, env);
  });
}

void TfrmModule::btnAutoClick() {
  if (ProcedureRunning() || !btnAuto->isEnabled()) {
    return;
  }
  events_->SetLinkLabel(upgrade::LinkLabel(state_.link));
  RunProcedure([this, deviceId = pnSetID->text().toStdString()](upgrade::Environment& env) {
    upgrade::UpgradeSequence(deviceId, state_, env);
  });
}

void TfrmModule::RunProcedure(std::function<void(upgrade::Environment&)> body) {
  // A new step: the reason of the last failure no longer stands.
  ShowReason({});
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
      upgrade::Environment env{*events_, clock, services_.openLink, std::move(storeLink)};
      env.runWaitMs = services_.runWaitMs;
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
  ShowIndicator(kIndicatorRed);
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

void TfrmModule::dragEnterEvent(QDragEnterEvent* event) {
  if (!ProcedureRunning() && DraggedFirmwareFile(event->mimeData())) {
    event->acceptProposedAction();
  }
}

void TfrmModule::dragMoveEvent(QDragMoveEvent* event) {
  // A step may have begun since the drag came in.
  if (!ProcedureRunning() && DraggedFirmwareFile(event->mimeData())) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void TfrmModule::dropEvent(QDropEvent* event) {
  const std::optional<QString> path = DraggedFirmwareFile(event->mimeData());
  if (ProcedureRunning() || !path) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  SelectFirmwareFile(ToPath(*path), *path);
}

void TfrmModule::mnuCopyReasonClick() {
  if (!reason_.isEmpty()) {
    QApplication::clipboard()->setText(reason_);
  }
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

void TfrmModule::ShowStatus(const upgrade::Status& status) {
  const std::string shown = text::StripAccelerator(text::Message(status.message, currentLanguage_));
  pnMsg->setText(FromUtf8(shown) + FromUtf8(status.suffix));
}

void TfrmModule::ShowReason(const std::string& reason) {
  reason_ = FromUtf8(reason);
  // As rich text, escaped, so that a long reason wraps in its tool tip and a
  // device's text is never taken for markup.
  pnMsg->setToolTip(reason_.isEmpty() ? QString()
                                      : QStringLiteral("<qt>") + reason_.toHtmlEscaped() +
                                            QStringLiteral("</qt>"));
  pnMsg->setAccessibleDescription(reason_);
  mnuCopyReason->setEnabled(!reason_.isEmpty());
}

void TfrmModule::ShowIndicator(const QColor& colour) {
  shComm->SetBrushColor(colour);
}

PlainProgressBar* TfrmModule::BarOf(upgrade::Phase phase) const {
  return phase == upgrade::Phase::Program ? pbProgram : pbVerify;
}

void TfrmModule::ShowProgressMaximum(upgrade::Phase phase, int maximum) {
  PlainProgressBar* target = BarOf(phase);
  const int position = std::max(target->value(), target->minimum());
  target->setMaximum(std::max(maximum, target->minimum()));
  target->SetPosition(position);
}

void TfrmModule::ShowProgressPosition(upgrade::Phase phase, int position) {
  BarOf(phase)->SetPosition(position);
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
