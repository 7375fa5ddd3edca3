// Failure reasons and the account of an interrupted procedure.
#include "upgrade/failure_reason.h"

#include <cstdio>

#include "image/block_table.h"
#include "link/errno_text.h"
#include "upgrade/block_exchange.h"

namespace ql::upgrade {
namespace {

std::string Verdict(const TryEnd& last, bool handshake) {
  switch (last.verdict) {
    case link::ExchangeVerdict::NoReply:
      return "no reply";
    case link::ExchangeVerdict::BadCrc:
      return "bad CRC";
    case link::ExchangeVerdict::LinkGone:
      return last.goneReason.empty() ? "link lost" : "link lost: " + last.goneReason;
    case link::ExchangeVerdict::Accepted:
      break;
  }
  if (handshake && last.replyBytes != kHandshakeReplyLength) {
    return "a reply of " + std::to_string(last.replyBytes) + " bytes, " +
           std::to_string(kHandshakeReplyLength) + " expected";
  }
  return "accepted";
}

// A device text as a line can show it: blanks at its end dropped, anything
// unprintable as "?", in quotes.
std::string Quoted(std::string_view text) {
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

std::string Of(int done, int total) {
  return std::to_string(done) + " of " + std::to_string(total) + " blocks";
}

}  // namespace

std::string BlockAddress(int block) {
  char text[16];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(block) * 512u);
  return text;
}

std::string LinkLabel(const link::LinkSettings& link) {
  return link.linkKind == link::LinkKind::Tcp ? link.netIp + ":" + link.netPort : link.comPortName;
}

std::string LinkReason(const std::string& label, std::string_view why) {
  return label + ": " + std::string(why.empty() ? "cannot be opened" : why);
}

std::string NoDeviceReason(const std::string& label, int attempts, const TryEnd& last) {
  if (last.verdict == link::ExchangeVerdict::LinkGone) {
    return label + ": " + Verdict(last, true);
  }
  std::string reason = label + ": no valid handshake reply in " + std::to_string(attempts) +
                       " attempts, the last: " + Verdict(last, true);
  if (last.verdict == link::ExchangeVerdict::NoReply && last.replyBytes == 0) {
    // Silence is most often the wrong device ID, rate or cable.
    reason += " (check the device ID, the line settings and the cable)";
  }
  return reason;
}

std::string MismatchReason(std::string_view deviceInfo, std::string_view fileHeader) {
  return "the device is " + Quoted(deviceInfo) + ", the file is for " + Quoted(fileHeader);
}

std::string LoadReason(LoadFailure why, int error) {
  switch (why) {
    case LoadFailure::Unreadable:
      return error != 0 ? link::ErrnoText(error) : "the file cannot be read";
    case LoadFailure::HeaderChanged:
      return "the file's header is not the one read at the start";
    case LoadFailure::NoImage:
      return "no image after its 16-byte header";
  }
  return {};
}

std::string UnwrittenImageWarning(std::int64_t imageBytes) {
  constexpr std::int64_t kDeviceBytes = std::int64_t{image::kMaxBlockCount} * image::kBlockSize;
  if (imageBytes <= kDeviceBytes) {
    return {};
  }
  return "the file holds " + std::to_string(imageBytes) + " image bytes, the device " +
         std::to_string(image::kMaxBlockCount) + " blocks (" + std::to_string(kDeviceBytes) +
         " bytes): the last " + std::to_string(imageBytes - kDeviceBytes) +
         " bytes are not written";
}

std::string PhaseReason(const PhaseEnd& end) {
  const std::string where = end.block < 0 ? "handshake: "
                                          : "block " + std::to_string(end.block) + ", address " +
                                                BlockAddress(end.block) + ", ";
  switch (end.failure) {
    case PhaseFailure::None:
    case PhaseFailure::Stopped:
      return {};
    case PhaseFailure::NotConnected:
      return "no device has answered a connect";
    case PhaseFailure::NoReply:
      return where +
             (end.block < 0 ? Verdict(end.lastTry, false) : std::to_string(end.tries) + " tries");
    case PhaseFailure::DataDiffers:
      return where + "data differs";
    case PhaseFailure::Unreadable:
      return where + "its data cannot be read";
    case PhaseFailure::NeverQuiet:
      return where + "the link never fell quiet";
    case PhaseFailure::OutOfStep:
      return where + "the link kept falling out of step";
    case PhaseFailure::LinkLost:
      return where + Verdict(end.lastTry, false);
  }
  return {};
}

std::string StopExplanation(const Finish& finish, const std::optional<PhaseEnd>& lastPhase) {
  const std::string nothing = ": nothing was written to the device";
  const std::string again = "run the upgrade again to complete it";
  if (!lastPhase || finish.procedure == Procedure::Connect) {
    return "stopped while connecting" + nothing;
  }
  const int done = lastPhase->blocksDone;
  const int total = lastPhase->blockCount;
  if (finish.procedure == Procedure::Verify) {
    return "the check stopped after " + Of(done, total) + " compared" + nothing;
  }
  if (finish.procedure == Procedure::ReadFlash) {
    return "reading stopped after " + Of(done, total) + nothing;
  }
  switch (finish.holds.flash) {
    case Flash::AsBefore:
      return "stopped before programming began" + nothing;
    case Flash::Partial:
      if (finish.holds.block == 0) {
        return "programming stopped before its first block was written: the device was not "
               "told to run; " +
               again;
      }
      return "programming stopped after " + Of(finish.holds.block, total) +
             ": the device holds a partial image and was not told to run it; " + again;
    case Flash::WholeImage:
    case Flash::Differs:
      return "verification stopped after " + Of(done, total) +
             " compared: the device holds the whole new image, not yet verified, and was not "
             "told to run it; " +
             again;
    case Flash::Verified:
      return "stopped after verification: the device holds the new image, verified, but was not "
             "told to run it; " +
             again;
    case Flash::Running:
      return "stopped after the run command: the device holds the new image, verified, and was "
             "told to run it; it needs about 7 s to start";
  }
  return {};
}

std::string FailureHoldings(const Finish& finish, const std::optional<PhaseEnd>& lastPhase) {
  if (finish.outcome != Outcome::PhaseFailed || !lastPhase) {
    return {};
  }
  const std::string nothing = "nothing was written to the device";
  const std::string notRun = " and was not told to run it; run the upgrade again";
  const int total = lastPhase->blockCount;
  if (finish.procedure == Procedure::Verify) {
    if (finish.holds.flash == Flash::Differs) {
      const int block = finish.holds.block;
      return (block > 0 ? "the device's flash matches the file in its first " + Of(block, total) +
                              " and differs at block " + std::to_string(block)
                        : std::string("the device's flash differs from the file at block 0")) +
             "; " + nothing;
    }
    return "the check ended after " + Of(lastPhase->blocksDone, total) + " compared: " + nothing;
  }
  if (finish.procedure != Procedure::Upgrade) {
    return finish.procedure == Procedure::ReadFlash ? nothing : std::string();
  }
  switch (finish.holds.flash) {
    case Flash::AsBefore:
      return nothing;
    case Flash::Partial:
      if (finish.holds.block == 0) {
        return "the device may hold part of block 0 of the new image, no block of it for "
               "certain," +
               notRun;
      }
      return "the device holds a partial image, the first " + Of(finish.holds.block, total) +
             " of the new one," + notRun;
    case Flash::Differs:
      return "the device holds a complete image that differs from the file at block " +
             std::to_string(finish.holds.block) + ", address " + BlockAddress(finish.holds.block) +
             "," + notRun;
    case Flash::WholeImage:
      return "the device holds the whole new image, not verified," + notRun;
    case Flash::Verified:
    case Flash::Running:
      break;
  }
  return {};
}

}  // namespace ql::upgrade
