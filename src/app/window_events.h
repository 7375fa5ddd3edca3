// The window's side of what the procedures tell: each event turned into what
// the window shows, the status panel's message and the reason of a failure,
// the indicator, the bars, the Upgrade button, the hourglass and the window's
// input, and the tone.
//
// A procedure runs on a worker thread and tells its events there. What each
// event changes is queued to the window's thread as one piece and carried out
// there in the order told, so the worker never touches a widget and the
// blinking indicator never paints between the parts of one change. The tone
// goes to the player at once: the procedure pauses for its length next.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "upgrade/procedure_events.h"
#include "upgrade/status_line.h"

namespace ql::app {

class TfrmModule;

class WindowEvents final : public upgrade::ProcedureEvents {
 public:
  WindowEvents(TfrmModule& window, std::function<void(int hz, int ms)> tone);

  // The link the next procedure opens, as its reasons name it. Set on the
  // window's thread before the procedure's worker starts.
  void SetLinkLabel(std::string label) { linkLabel_ = std::move(label); }

  void Started(upgrade::Procedure procedure) override;
  void LinkNotOpened(std::string_view reason) override;
  void HandshakeFailed(int attempt, const upgrade::TryEnd& last) override;
  void DeviceNotFound(int attempts, const upgrade::TryEnd& last) override;
  void DeviceFound(std::string_view deviceInfo) override;
  void ModelMatched() override;
  void ModelMismatched(std::string_view deviceInfo, std::string_view fileHeader) override;
  void ImageLoaded(int blockCount) override;
  void ImageLongerThanDevice(std::int64_t imageBytes) override;
  void ImageNotLoaded(upgrade::LoadFailure why, int error) override;
  void PhaseStarted(upgrade::Phase phase, int blockCount) override;
  void BlocksBegin(upgrade::Phase phase, int blockCount) override;
  void BlockDone(upgrade::Phase phase, int block) override;
  void PhaseEnded(const upgrade::PhaseEnd& end) override;
  void ToneStarted(const upgrade::Tone& tone) override;
  void Finished(const upgrade::Finish& finish) override;

 private:
  template <class Change>
  void Post(Change&& change);
  // The connect found no device: Upgrade off, the indicator steady red.
  void ConnectFailed(const upgrade::Status& status, const std::string& reason);

  TfrmModule& window_;
  std::function<void(int, int)> tone_;
  // Touched on the worker's thread only, one procedure at a time.
  upgrade::StatusLine status_;
  upgrade::Procedure procedure_ = upgrade::Procedure::Connect;
  bool blocksBegun_ = false;  // in the phase in hand
  std::string linkLabel_;
  // The last phase that ended, and why the last step failed.
  std::optional<upgrade::PhaseEnd> lastPhase_;
  std::string reason_;
};

}  // namespace ql::app
