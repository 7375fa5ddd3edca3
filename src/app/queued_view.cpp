// Queuing the procedures' calls to the window's thread.
#include "app/queued_view.h"

#include <string>

#include "app/frm_module.h"

namespace ql::app {

QueuedView::QueuedView(TfrmModule& window, std::function<void(int, int)> tone)
    : window_(window), tone_(std::move(tone)) {}

template <class Call>
void QueuedView::Post(Call&& call) {
  QMetaObject::invokeMethod(&window_, std::forward<Call>(call), Qt::QueuedConnection);
}

void QueuedView::ShowMessage(int number, std::string_view suffix) {
  Post([w = &window_, number, suffix = std::string(suffix)] { w->ShowStatus(number, suffix); });
}

void QueuedView::SetIndicator(upgrade::Indicator colour) {
  Post([w = &window_, colour] { w->ShowIndicator(colour); });
}

void QueuedView::SetBusy(std::uint8_t value) {
  Post([w = &window_, value] { w->SetBusy(value); });
}

void QueuedView::SetProgressMaximum(upgrade::Bar bar, int maximum) {
  Post([w = &window_, bar, maximum] { w->ShowProgressMaximum(bar, maximum); });
}

void QueuedView::SetProgressPosition(upgrade::Bar bar, int position) {
  Post([w = &window_, bar, position] { w->ShowProgressPosition(bar, position); });
}

void QueuedView::SetHourglass(bool on) {
  Post([w = &window_, on] { w->ShowHourglass(on); });
}

void QueuedView::SetWindowEnabled(bool enabled) {
  Post([w = &window_, enabled] { w->EnableWindow(enabled); });
}

void QueuedView::SetUpgradeEnabled(bool enabled) {
  Post([w = &window_, enabled] { w->EnableUpgrade(enabled); });
}

void QueuedView::SetDeviceText(std::string_view text) {
  Post([w = &window_, text = std::string(text)] { w->ShowDeviceText(text); });
}

void QueuedView::SetFileVersionText(std::string_view text) {
  Post([w = &window_, text = std::string(text)] { w->ShowFileVersionText(text); });
}

void QueuedView::Tone(int hz, int ms) {
  if (tone_) {
    tone_(hz, ms);
  }
}

}  // namespace ql::app
