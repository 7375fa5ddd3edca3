// The utility's one window: its controls, their captions and states, and the
// handlers of its buttons, menus and timers. The work itself is handed on:
// settings to ql::settings, the file header to ql::image, and the connect
// procedure and the upgrade sequence to ql::upgrade, run on a worker thread.
#pragma once

#include <QColor>
#include <QMainWindow>
#include <QPointer>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/dialogs.h"
#include "link/clock.h"
#include "link/link.h"
#include "settings/link_controls.h"
#include "settings/settings_store.h"
#include "text/language.h"
#include "upgrade/device_state.h"
#include "upgrade/procedure_events.h"
#include "upgrade/procedures.h"
#include "upgrade/status_line.h"

class QAction;
class QComboBox;
class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QScrollBar;
class QTabWidget;
class QThread;
class QTimer;

namespace ql::app {

class CommShape;
class Panel;
class PlainProgressBar;
class WindowEvents;

// What the window works with besides its controls. Tests replace parts.
struct WindowServices {
  std::unique_ptr<Dialogs> dialogs;
  link::LinkOpener openLink;
  // Starts a tone and returns at once, on any thread; the procedures take
  // its length on their clock.
  std::function<void(int hz, int ms)> tone;
  // A fresh handle on the settings store, one per use.
  std::function<std::unique_ptr<settings::SettingsStore>()> openStore;
  // The serial ports the system reports, before trimming and fallback.
  std::function<std::vector<std::string>()> portNames;
  // The clock of the procedures; nullptr for the system clock.
  link::Clock* clock = nullptr;
  // The wait after the run command; tests shorten it.
  std::uint32_t runWaitMs = upgrade::kRunWaitMs;
};

// The real boxes, links, tones, store and ports.
WindowServices SystemServices();

class TfrmModule : public QMainWindow {
  Q_OBJECT

 public:
  // Builds the layout, then runs FormCreate.
  explicit TfrmModule(WindowServices services, QWidget* parent = nullptr);
  ~TfrmModule() override;

  // Places the window in the middle of its screen and shows it.
  void ShowCentred();

  // Takes `path` as the selected firmware file, exactly as when it is chosen
  // in the file dialog; `shown` is the path as pnFile shows it. A file given
  // on the command line or dropped on the window comes here. Ignored while
  // a procedure runs.
  void SelectFirmwareFile(const std::filesystem::path& path, const QString& shown);

  // Event handlers.
  void FormCreate();
  void FormShow();
  void btnSelectClick();
  void btnConnectClick();
  void btnAutoClick();
  void tmrBusyTimer();
  void tmrNoteTimer();
  void mnuEnglishClick();
  void mnuSimplifiedClick();
  void mnuTraditionalClick();
  void mnuExitClick();
  // The status panel's context menu: copies the reason of the last failure.
  void mnuCopyReasonClick();

  // 1 starts the indicator blinking; any other value stops it. The colour
  // is left as the last blink painted it.
  void SetBusy(std::uint8_t value);

  text::Language CurrentLanguage() const { return currentLanguage_; }
  const std::string& LanguageFlag() const { return languageFlag_; }
  // The blink phase: 1 when the last blink painted red.
  int BusyTag() const { return busyTag_; }
  bool ProcedureRunning() const { return worker_ != nullptr; }
  // The connect's results; read only while no procedure runs.
  const upgrade::DeviceState& State() const { return state_; }
  // The header bytes the next connect compares, as read from the file.
  const std::string& FileVersionBytes() const { return fileVersionBytes_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  // A firmware file dropped on the window is selected, while no step runs.
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  friend class WindowEvents;

  void BuildLayout();
  void BuildMenus();
  void ConnectHandlers();
  void ApplyLanguageFont();
  void ChooseLanguage(text::Language language);
  QString MessageText(int number) const;
  settings::LinkControls LinkControlsNow() const;

  // Runs `body` on a worker thread with the window's view, clock, link and
  // store; the window is handed back once it has ended.
  void RunProcedure(std::function<void(upgrade::Environment&)> body);
  void ProcedureEnded();
  void RecoverFromException(const std::string& what);

  // What the procedures show; GUI thread only, reached through WindowEvents.
  void ShowStatus(const upgrade::Status& status);
  // The reason of the last failure, in the status panel's tool tip and
  // accessible description; empty clears it.
  void ShowReason(const std::string& reason);
  void ShowIndicator(const QColor& colour);
  // The program bar for programming, the verify bar for the read-back.
  void ShowProgressMaximum(upgrade::Phase phase, int maximum);
  void ShowProgressPosition(upgrade::Phase phase, int position);
  void ShowHourglass(bool on);
  void EnableWindow(bool enabled);
  void EnableUpgrade(bool enabled);
  void ShowDeviceText(std::string_view text);
  void ShowFileVersionText(std::string_view text);
  PlainProgressBar* BarOf(upgrade::Phase phase) const;

  WindowServices services_;
  std::unique_ptr<WindowEvents> events_;

  // The controls, by the names the layout gives them.
  Panel* pnMsg = nullptr;
  CommShape* shComm = nullptr;
  Panel* pnFile = nullptr;
  Panel* pnFileVer = nullptr;
  QPushButton* btnSelect = nullptr;
  QTabWidget* pcPort = nullptr;
  QWidget* tsCom = nullptr;
  QLabel* lblPort = nullptr;
  QComboBox* cmbPort = nullptr;
  QLabel* lblSpeed = nullptr;
  QComboBox* cmbBaudrate = nullptr;
  QWidget* tsNet = nullptr;
  QLabel* lblIP = nullptr;
  QLineEdit* edIP = nullptr;
  QLabel* lblNetPort = nullptr;
  QLineEdit* edPort = nullptr;
  QLabel* lblSetID = nullptr;
  Panel* pnSetID = nullptr;
  QScrollBar* sbID = nullptr;
  QPushButton* btnConnect = nullptr;
  QLabel* lblDevice = nullptr;
  Panel* pnDevice = nullptr;
  Panel* Panel1 = nullptr;
  PlainProgressBar* pbProgram = nullptr;
  Panel* Panel2 = nullptr;
  PlainProgressBar* pbVerify = nullptr;
  QPushButton* btnAuto = nullptr;

  QTimer* tmrBusy = nullptr;
  QTimer* tmrNote = nullptr;

  QMenu* mnuFile = nullptr;
  QAction* mnuExit = nullptr;
  QMenu* mnuLanguage = nullptr;
  QAction* mnuEnglish = nullptr;
  QAction* mnuSimplified = nullptr;
  QAction* mnuTraditional = nullptr;
  // The status panel's context menu.
  QAction* mnuCopyReason = nullptr;

  // Run-time state.
  text::Language currentLanguage_ = text::Language::English;
  std::string languageFlag_ = "English";
  upgrade::DeviceState state_;
  int busyTag_ = 0;
  std::filesystem::path selectedPath_;  // the file dialog's file name
  std::string fileVersionBytes_;        // pnFileVer as bytes
  // The header read at selection; pnFileVer shows the model text after a load,
  // and the file loaded at every connect must still carry this header.
  std::string selectedHeader_;
  QString reason_;  // why the last step failed; empty when it did not
  QThread* worker_ = nullptr;
  bool closePending_ = false;
  bool hourglass_ = false;
  QPointer<QWidget> focusBeforeDisable_;
};

// Selects the firmware file named on the command line, as the file dialog
// would give it: the full path, relative names taken from the current folder.
void SelectStartFile(TfrmModule& window, const std::string& file);

}  // namespace ql::app
