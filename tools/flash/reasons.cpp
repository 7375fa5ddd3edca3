// Failure reasons and the account of an interrupted procedure.
#include "reasons.h"

#include <cstdio>

#include "text/message_table.h"
#include "upgrade/block_exchange.h"

namespace ql::flash {
namespace {

constexpr std::size_t kHandshakeReplyBytes = 29;

std::string LastVerdict(const LastExchange& last, bool handshake) {
  if (last.resyncFailed) {
    return "the link never fell quiet";
  }
  if (!last.any) {
    return "nothing exchanged";
  }
  switch (last.verdict) {
    case link::ExchangeVerdict::NoReply:
      return "no reply";
    case link::ExchangeVerdict::BadCrc:
      return "bad CRC";
    case link::ExchangeVerdict::LinkGone:
      return "link lost";
    case link::ExchangeVerdict::Accepted:
      break;
  }
  if (handshake && last.replyBytes != kHandshakeReplyBytes) {
    return "a reply of " + std::to_string(last.replyBytes) + " bytes, " +
           std::to_string(kHandshakeReplyBytes) + " expected";
  }
  return "accepted";
}

// The device information as a line can show it: blanks at its end dropped,
// anything unprintable as "?".
std::string Shown(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    shown += u >= 0x20 && u < 0x7F ? c : '?';
  }
  while (!shown.empty() && shown.back() == ' ') {
    shown.pop_back();
  }
  return "\"" + shown + "\"";
}

std::string BlockReason(const ReasonInputs& in) {
  const upgrade::ProcedureReport& r = in.report;
  if (r.block < 0) {
    return "handshake: " + LastVerdict(in.last, false);
  }
  std::string text = "block " + std::to_string(r.block) + ", address " + BlockAddress(r.block);
  if (r.mismatch) {
    return text + ", data differs";
  }
  if (r.linkLost) {
    return text + ", link lost: " + r.linkLostReason;
  }
  if (r.tries >= upgrade::kBlockTries) {
    return text + ", " + std::to_string(r.tries) + " tries";
  }
  return text + ", " + (in.last.resyncFailed ? "the link never fell quiet" : "no usable reply");
}

std::string Of(int done, int total) {
  return std::to_string(done) + " of " + std::to_string(total) + " blocks";
}

}  // namespace

std::string BlockAddress(int block) {
  char text[16];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(block) * 512u);
  return text;
}

bool IsFailureMessage(int number) {
  namespace msg = text::msg;
  return number == msg::kLoadFileError || number == msg::kOpenPortError ||
         number == msg::kConnectError || number == msg::kFileTypeError ||
         number == msg::kProgramError || number == msg::kVerifyError;
}

std::string FailureReason(int message, const ReasonInputs& in) {
  namespace msg = text::msg;
  if ((message == msg::kOpenPortError || message == msg::kConnectError) && in.openFailed) {
    return in.label + ": " + in.openError;
  }
  switch (message) {
    case msg::kConnectError:
      if (in.report.linkLost) {
        return in.label + ": link lost: " + in.report.linkLostReason;
      }
      return in.label +
             ": no valid handshake reply in 3 attempts, the last: " + LastVerdict(in.last, true);
    case msg::kFileTypeError:
      return "the device is " + Shown(in.deviceText) + ", the file is for " + Shown(in.fileHeader);
    case msg::kLoadFileError:
      return in.fileError;
    case msg::kProgramError:
    case msg::kVerifyError:
      return BlockReason(in);
    default:
      return {};
  }
}

std::string StopExplanation(Mode mode, const upgrade::ProcedureReport& r, int blockCount) {
  using upgrade::Phase;
  const std::string again = "run the upgrade again to complete it";
  if (r.phase == Phase::Connect) {
    return "stopped while connecting: nothing was written to the device";
  }
  if (mode == Mode::VerifyOnly) {
    return "the check stopped after " + Of(r.blocksDone, blockCount) +
           " compared: nothing was written to the device";
  }
  if (mode == Mode::ReadFlash) {
    return "reading stopped after " + Of(r.blocksDone, blockCount) +
           ": nothing was written to the device";
  }
  switch (r.phase) {
    case Phase::Program:
      if (r.block < 0) {
        return "stopped before programming began: nothing was written to the device";
      }
      if (r.blocksDone == 0) {
        return "programming stopped before its first block was written: the device was not "
               "told to run; " +
               again;
      }
      return "programming stopped after " + Of(r.blocksDone, blockCount) +
             ": the device holds a partial image and was not told to run it; " + again;
    case Phase::Verify:
      return "verification stopped after " + Of(r.blocksDone, blockCount) +
             " compared: the device holds the whole new image, not yet verified, and was not "
             "told to run it; " +
             again;
    case Phase::Run:
      if (r.runSent) {
        return "stopped after the run command: the device holds the new image, verified, and "
               "was told to run it; it needs about 7 s to start";
      }
      return "stopped after verification: the device holds the new image, verified, but was not "
             "told to run it; " +
             again;
    case Phase::Connect:
      break;
  }
  return {};
}

}  // namespace ql::flash
