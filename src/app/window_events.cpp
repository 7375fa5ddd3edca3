// What the window shows as the connect procedure and the upgrade sequence go.
// The window runs only those two; the check and the read of a flash belong to
// the command-line program.
#include "app/window_events.h"

#include <QMetaObject>
#include <optional>
#include <string>
#include <utility>

#include "app/frm_module.h"
#include "app/panel.h"
#include "image/firmware_file.h"
#include "upgrade/failure_reason.h"

namespace ql::app {

using upgrade::Phase;
using upgrade::Procedure;
using upgrade::Status;

WindowEvents::WindowEvents(TfrmModule& window, std::function<void(int, int)> tone)
    : window_(window), tone_(std::move(tone)) {}

template <class Change>
void WindowEvents::Post(Change&& change) {
  QMetaObject::invokeMethod(&window_, std::forward<Change>(change), Qt::QueuedConnection);
}

void WindowEvents::Started(Procedure procedure) {
  procedure_ = procedure;
  lastPhase_.reset();
  reason_.clear();
  const std::optional<Status> status = status_.Started(procedure);
  if (procedure == Procedure::Connect) {
    Post([w = &window_, status = *status] {
      w->ShowProgressPosition(Phase::Program, 0);
      w->ShowProgressPosition(Phase::Verify, 0);
      w->ShowHourglass(true);
      w->EnableWindow(false);
      w->SetBusy(1);
      w->ShowStatus(status);
    });
    return;
  }
  // The indicator starts blinking with the first phase, once the link is open.
  Post([w = &window_] {
    w->EnableWindow(false);
    w->ShowHourglass(true);
    w->ShowProgressPosition(Phase::Program, 0);
    w->ShowProgressPosition(Phase::Verify, 0);
  });
}

void WindowEvents::ConnectFailed(const Status& status, const std::string& reason) {
  reason_ = reason;
  Post([w = &window_, status, reason] {
    w->EnableUpgrade(false);
    w->SetBusy(0);
    w->ShowIndicator(kIndicatorRed);
    w->ShowStatus(status);
    w->ShowReason(reason);
  });
}

void WindowEvents::LinkNotOpened(std::string_view reason) {
  const std::string why = upgrade::LinkReason(linkLabel_, reason);
  if (procedure_ == Procedure::Connect) {
    ConnectFailed(status_.LinkNotOpened(), why);
    return;
  }
  reason_ = why;
  Post([w = &window_, status = status_.LinkNotOpened(), why] {
    w->ShowIndicator(kIndicatorRed);
    w->ShowStatus(status);
    w->ShowReason(why);
  });
}

void WindowEvents::HandshakeFailed(int attempt, const upgrade::TryEnd& /*last*/) {
  Post([w = &window_, status = status_.HandshakeFailed(attempt)] { w->ShowStatus(status); });
}

void WindowEvents::DeviceNotFound(int attempts, const upgrade::TryEnd& last) {
  ConnectFailed(status_.DeviceNotFound(), upgrade::NoDeviceReason(linkLabel_, attempts, last));
}

void WindowEvents::DeviceFound(std::string_view deviceInfo) {
  Post([w = &window_, text = std::string(deviceInfo)] { w->ShowDeviceText(text); });
}

void WindowEvents::ModelMatched() {
  Post([w = &window_, status = status_.ModelMatched()] {
    w->EnableUpgrade(true);
    w->ShowStatus(status);
    w->SetBusy(0);
    w->ShowIndicator(kIndicatorYellow);
  });
}

void WindowEvents::ModelMismatched(std::string_view deviceInfo, std::string_view fileHeader) {
  reason_ = upgrade::MismatchReason(deviceInfo, fileHeader);
  Post([w = &window_, status = status_.ModelMismatched(), why = reason_] {
    w->EnableUpgrade(false);
    w->ShowStatus(status);
    w->ShowReason(why);
    w->SetBusy(0);
    w->ShowIndicator(kIndicatorRed);
  });
}

void WindowEvents::ImageLoaded(int /*blockCount*/) {
  Post([w = &window_] { w->ShowFileVersionText(image::kModelText); });
}

void WindowEvents::ImageLongerThanDevice(std::int64_t imageBytes) {
  // Not a failure: the step succeeds as it always did, and the status panel
  // tells what it leaves out.
  reason_ = upgrade::UnwrittenImageWarning(imageBytes);
  Post([w = &window_, why = reason_] { w->ShowReason(why); });
}

void WindowEvents::ImageNotLoaded(upgrade::LoadFailure why, int error) {
  reason_ = upgrade::LoadReason(why, error);
  Post([w = &window_, status = status_.ImageNotLoaded(), why = reason_] {
    w->EnableUpgrade(false);
    w->ShowStatus(status);
    w->ShowReason(why);
    w->ShowIndicator(kIndicatorRed);
  });
}

void WindowEvents::PhaseStarted(Phase phase, int /*blockCount*/) {
  blocksBegun_ = false;
  const std::optional<Status> status = status_.PhaseStarted(phase);
  if (!status) {
    return;
  }
  Post([w = &window_, phase, status = *status] {
    w->ShowStatus(status);
    if (phase == Phase::Program) {
      w->SetBusy(1);
    }
  });
}

void WindowEvents::BlocksBegin(Phase phase, int blockCount) {
  blocksBegun_ = true;
  Post([w = &window_, phase, blockCount] { w->ShowProgressMaximum(phase, blockCount); });
}

void WindowEvents::BlockDone(Phase phase, int block) {
  Post([w = &window_, phase, block] { w->ShowProgressPosition(phase, block); });
}

void WindowEvents::PhaseEnded(const upgrade::PhaseEnd& end) {
  // A phase whose blocks began ends with its bar drawn full, also when it
  // failed or stopped part-way.
  const bool fill = std::exchange(blocksBegun_, false);
  const std::optional<Status> status = status_.PhaseEnded(end);
  lastPhase_ = end;
  // What the device now holds is added when the procedure has finished.
  if (status && status->failure) {
    reason_ = upgrade::PhaseReason(end);
  }
  Post([w = &window_, end, fill, status, procedure = procedure_, why = reason_] {
    if (fill) {
      w->ShowProgressPosition(end.phase, end.blockCount);
    }
    if (!status) {
      return;  // stopped: the device's state is told at the end
    }
    w->ShowStatus(*status);
    if (status->failure) {
      w->ShowReason(why);
    }
    const bool ok = end.Ok();
    switch (end.phase) {
      case Phase::Program:
        w->SetBusy(0);
        w->ShowIndicator(ok ? kIndicatorYellow : kIndicatorRed);
        if (!ok) {
          w->ShowHourglass(false);
        }
        break;
      case Phase::Verify:
      case Phase::Read:
        if (!ok) {
          w->ShowIndicator(kIndicatorRed);
          w->SetBusy(0);
        } else if (procedure != Procedure::Upgrade) {
          w->ShowIndicator(kIndicatorYellow);
        }
        break;
      case Phase::Run:
        w->ShowIndicator(kIndicatorYellow);
        w->SetBusy(0);
        break;
    }
  });
}

void WindowEvents::ToneStarted(const upgrade::Tone& tone) {
  if (tone_) {
    tone_(tone.hz, tone.ms);
  }
}

void WindowEvents::Finished(const upgrade::Finish& finish) {
  const std::string holds = upgrade::FailureHoldings(finish, lastPhase_);
  if (!holds.empty()) {
    reason_ = reason_.empty() ? holds : reason_ + "; " + holds;
  }
  Post([w = &window_, finish, why = holds.empty() ? std::optional<std::string>() : reason_] {
    if (why) {
      w->ShowReason(*why);
    }
    if (finish.outcome == upgrade::Outcome::Stopped) {
      if (finish.procedure == Procedure::Connect) {
        w->EnableUpgrade(false);
      }
      w->SetBusy(0);
    }
    w->ShowHourglass(false);
    w->EnableWindow(true);
  });
}

}  // namespace ql::app
