// The utility's one window: its controls, their captions and states, and the
// handlers of its buttons, menus and timers. The work itself is handed on:
// settings to ql::settings, the file header to ql::image, and the connect
// procedure and the upgrade sequence to ql::upgrade, run on a worker thread.
#pragma once

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
#include "settings/link_settings.h"
#include "settings/settings_store.h"
#include "text/language.h"
#include "upgrade/device_state.h"
#include "upgrade/procedures.h"
#include "upgrade/upgrade_view.h"

class QAction;
class QComboBox;
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
class QueuedView;

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

 private:
  friend class QueuedView;

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

  // What the procedures show; GUI thread only, reached through QueuedView.
  void ShowStatus(int number, std::string_view suffix);
  void ShowIndicator(upgrade::Indicator colour);
  void ShowProgressMaximum(upgrade::Bar bar, int maximum);
  void ShowProgressPosition(upgrade::Bar bar, int position);
  void ShowHourglass(bool on);
  void EnableWindow(bool enabled);
  void EnableUpgrade(bool enabled);
  void ShowDeviceText(std::string_view text);
  void ShowFileVersionText(std::string_view text);
  PlainProgressBar* BarOf(upgrade::Bar bar) const;

  WindowServices services_;
  std::unique_ptr<QueuedView> view_;

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
  QThread* worker_ = nullptr;
  bool closePending_ = false;
  bool hourglass_ = false;
  QPointer<QWidget> focusBeforeDisable_;
};

}  // namespace ql::app
