// The status messages of the procedures.
#include "upgrade/status_line.h"

#include "text/message_table.h"

namespace ql::upgrade {
namespace msg = text::msg;
namespace {

Status Plain(int message) {
  return {message, {}, false};
}

Status Failure(int message) {
  return {message, {}, true};
}

}  // namespace

std::optional<Status> StatusLine::Started(Procedure procedure) {
  procedure_ = procedure;
  if (procedure == Procedure::Connect || procedure == Procedure::ReadFlash) {
    return Plain(msg::kConnecting);
  }
  return std::nullopt;
}

Status StatusLine::LinkNotOpened() const {
  // The connect speaks of the device; the later steps of the port that
  // worked a moment ago.
  return Failure(procedure_ == Procedure::Connect || procedure_ == Procedure::ReadFlash
                     ? msg::kConnectError
                     : msg::kOpenPortError);
}

Status StatusLine::HandshakeFailed(int attempt) const {
  return {msg::kConnecting, " ( " + std::to_string(10 - attempt) + " )", false};
}

Status StatusLine::DeviceNotFound() const {
  return Failure(msg::kConnectError);
}

Status StatusLine::ModelMatched() const {
  return Plain(msg::kConnectOk);
}

Status StatusLine::ModelMismatched() const {
  return Failure(msg::kFileTypeError);
}

Status StatusLine::ImageNotLoaded() const {
  return Failure(msg::kLoadFileError);
}

std::optional<Status> StatusLine::PhaseStarted(Phase phase) const {
  switch (phase) {
    case Phase::Program:
      return Plain(msg::kProgramming);
    case Phase::Verify:
      return Plain(msg::kVerifying);
    case Phase::Run:
      return Plain(msg::kUpgrading);
    case Phase::Read:
      break;
  }
  return std::nullopt;
}

std::optional<Status> StatusLine::PhaseEnded(const PhaseEnd& end) const {
  if (end.failure == PhaseFailure::Stopped) {
    return std::nullopt;
  }
  const bool ok = end.Ok();
  switch (end.phase) {
    case Phase::Program:
      return ok ? Plain(msg::kProgramOk) : Failure(msg::kProgramError);
    case Phase::Verify:
      return ok ? Plain(msg::kVerifyOk) : Failure(msg::kVerifyError);
    case Phase::Read:
      // A read ends with what was written to the file, not a message.
      return ok ? std::nullopt : std::optional(Failure(msg::kVerifyError));
    case Phase::Run:
      return Plain(msg::kUpgradeOk);
  }
  return std::nullopt;
}

}  // namespace ql::upgrade
