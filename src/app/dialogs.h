// The modal boxes the window opens: the start-up note and the firmware file
// dialog. Behind an interface so tests, which run without anyone to close a
// box, answer them instead.
#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace ql::app {

inline constexpr const char* kFirmwareFilter = "Firmware files (*.QLB)";

class Dialogs {
 public:
  virtual ~Dialogs() = default;

  // A modal box with only an OK button and no icon.
  virtual void ShowNote(QWidget* parent, const QString& caption, const QString& text) = 0;

  // The full path of an existing firmware file the operator picked, or
  // nullopt when the dialog was cancelled.
  virtual std::optional<QString> ChooseFirmwareFile(QWidget* parent) = 0;
};

// The real boxes.
class SystemDialogs final : public Dialogs {
 public:
  void ShowNote(QWidget* parent, const QString& caption, const QString& text) override;
  std::optional<QString> ChooseFirmwareFile(QWidget* parent) override;
};

}  // namespace ql::app
