// A window built with fake boxes, tones and ports, a scripted device behind
// its link, and a settings store on a file in a temporary folder of each
// test's own.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <vector>

#include "app/dialogs.h"
#include "app/frm_module.h"
#include "support/virtual_clock.h"
#include "upgrade/harness.h"

// Readable failure messages for texts.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace ql::testing_support {

struct Note {
  QString caption;
  QString text;
  std::chrono::steady_clock::time_point at;
};

// Answers the boxes instead of an operator.
class FakeDialogs final : public app::Dialogs {
 public:
  void ShowNote(QWidget* parent, const QString& caption, const QString& text) override;
  std::optional<QString> ChooseFirmwareFile(QWidget* parent) override;

  std::vector<Note> notes;
  std::deque<std::optional<QString>> choices;  // nullopt: cancelled
  int fileDialogs = 0;
};

// Waits on the event loop until `done` holds or `timeout` passes. The
// default is generous: only a test that has already failed waits it out.
bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds timeout = std::chrono::seconds(30));

class WindowTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The window as the program builds it, with the fakes.
  app::TfrmModule& MakeWindow();
  // Hands out stores on the test's own settings file, for a window's
  // services.
  std::function<std::unique_ptr<settings::SettingsStore>()> TestStore() const;

  template <class T = QWidget>
  T* Find(const char* name) const {
    T* found = window_->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  QString Text(const char* name) const;  // a label's, button's, panel's or edit's text
  bool Enabled(const char* name) const;
  QColor Indicator() const;

  // Writes the stored settings the next window starts from (an int as a
  // number, anything else as text).
  void Store(const std::vector<std::pair<const char*, QVariant>>& values);
  // The stored value as text, or an invalid QVariant.
  QVariant Stored(const char* name);
  // Whether nothing at all was written to the test's folder, where the
  // window's store and the default store live.
  bool ConfigFolderEmpty() const;

  // Picks `path` in the file dialog through btnSelect.
  void Select(const QString& path);
  // Clicks a step button and waits until its procedure has ended.
  void RunStep(const char* button);

  QTemporaryDir config_;
  QString settingsPath_;  // the file the window's store reads and writes
  FakeDialogs* dialogs_ = nullptr;
  std::vector<std::string> portNames_{"COM1"};
  std::vector<std::pair<int, int>> tones_;
  VirtualClock clock_{1000};
  FakeDevice device_;
  EventLog deviceLog_;
  bool openFails_ = false;
  std::vector<link::LinkSettings> opened_;
  // Runs on the worker at each open, before the link is made.
  std::function<void()> onOpen_;
  std::unique_ptr<app::TfrmModule> window_;
};

}  // namespace ql::testing_support
