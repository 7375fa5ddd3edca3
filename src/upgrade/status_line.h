// The status line both front ends show: the message of the message table
// that each event of a procedure puts there, and the countdown of finding
// the device. The procedures say what happened; which words follow, and in
// what order, is decided here, once for the window and ql480tx-flash alike.
#pragma once

#include <optional>
#include <string>

#include "upgrade/procedure_events.h"

namespace ql::upgrade {

struct Status {
  int message = 0;     // its number in the message table
  std::string suffix;  // shown after it: the countdown " ( 9 )"
  bool failure = false;
};

class StatusLine {
 public:
  // Remembers the procedure: the same event says different things in each.
  std::optional<Status> Started(Procedure procedure);

  Status LinkNotOpened() const;
  // After failed attempt 1, 2, 3: " ( 9 )", " ( 8 )", " ( 7 )".
  Status HandshakeFailed(int attempt) const;
  Status DeviceNotFound() const;
  Status ModelMatched() const;
  Status ModelMismatched() const;
  Status ImageNotLoaded() const;
  std::optional<Status> PhaseStarted(Phase phase) const;
  // Nothing for a stop: the front end says what the device holds instead.
  std::optional<Status> PhaseEnded(const PhaseEnd& end) const;

 private:
  Procedure procedure_ = Procedure::Connect;
};

}  // namespace ql::upgrade
