// The window's side of what the procedures show. A procedure runs on a worker
// thread and calls this view there; every call but the tone is queued to the
// window's thread and carried out there in the order it was made, so the
// worker never touches a widget. The tone goes to the tone player.
#pragma once

#include <QMetaObject>
#include <functional>
#include <utility>

#include "upgrade/upgrade_view.h"

namespace ql::app {

class TfrmModule;

class QueuedView final : public upgrade::UpgradeView {
 public:
  QueuedView(TfrmModule& window, std::function<void(int hz, int ms)> tone);

  void ShowMessage(int number, std::string_view suffix) override;
  void SetIndicator(upgrade::Indicator colour) override;
  void SetBusy(std::uint8_t value) override;
  void SetProgressMaximum(upgrade::Bar bar, int maximum) override;
  void SetProgressPosition(upgrade::Bar bar, int position) override;
  void SetHourglass(bool on) override;
  void SetWindowEnabled(bool enabled) override;
  void SetUpgradeEnabled(bool enabled) override;
  void SetDeviceText(std::string_view text) override;
  void SetFileVersionText(std::string_view text) override;
  // Hands the tone to the player and returns at once; the procedure takes
  // its length on its clock.
  void Tone(int hz, int ms) override;
  // The window's thread paints on its own while the worker runs.
  void Pump() override {}

 private:
  template <class Call>
  void Post(Call&& call);

  TfrmModule& window_;
  std::function<void(int, int)> tone_;
};

}  // namespace ql::app
