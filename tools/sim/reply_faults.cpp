// Reply faults on the way from the device to the link.
#include "sim/reply_faults.h"

#include <algorithm>
#include <cctype>

#include "link/crc16.h"
#include "link/frame.h"

namespace ql::sim {
namespace {

bool AnyMatches(const std::vector<CommandSelector>& selectors, const CommandRef& command) {
  return std::any_of(selectors.begin(), selectors.end(),
                     [&command](const CommandSelector& s) { return s.Matches(command); });
}

void AddNote(std::string& notes, const char* note) {
  if (!notes.empty()) {
    notes += ", ";
  }
  notes += note;
}

}  // namespace

Transmission ReplyFaults::Transmit(const CommandRef& command,
                                   const std::optional<std::string>& body) const {
  Transmission out;
  if (!body) {
    return out;
  }
  if (AnyMatches(faults_.dropReply, command)) {
    AddNote(out.faults, "reply dropped");
    return out;
  }

  std::vector<std::uint8_t> frame = link::BuildReply(*body);
  // The CRC characters are the four bytes before the final CR.
  const auto crcBegin = frame.end() - 5;
  const auto crcEnd = frame.end() - 1;
  if (AnyMatches(faults_.corruptCrc, command)) {
    const auto wrong =
        link::CrcText(link::FrameCrc(std::span(frame).first(frame.size() - 5)) ^ 0xFFFF);
    std::copy(wrong.begin(), wrong.end(), crcBegin);
    AddNote(out.faults, "wrong CRC");
  }
  if (AnyMatches(faults_.lowercaseCrc, command)) {
    std::transform(crcBegin, crcEnd, crcBegin,
                   [](std::uint8_t c) { return static_cast<std::uint8_t>(std::tolower(c)); });
    AddNote(out.faults, "lowercase CRC");
  }
  if (AnyMatches(faults_.dropLastByte, command)) {
    frame.pop_back();
    AddNote(out.faults, "last byte lost");
  }
  if (AnyMatches(faults_.noiseBefore, command)) {
    out.bytes.assign(faults_.noise.begin(), faults_.noise.end());
    AddNote(out.faults, "noise before the frame");
  }
  out.bytes.insert(out.bytes.end(), frame.begin(), frame.end());
  if (AnyMatches(faults_.duplicateReply, command)) {
    out.bytes.insert(out.bytes.end(), frame.begin(), frame.end());
    AddNote(out.faults, "sent twice");
  }

  for (const auto& late : faults_.lateReply) {
    if (late.when.Matches(command)) {
      out.delay = std::max(out.delay, late.delay);
    }
  }
  if (out.delay.count() > 0) {
    AddNote(out.faults, "late");
  }
  return out;
}

bool ReplyFaults::HangsUpAfter(const CommandRef& command) const {
  return faults_.hangUpAfterCommands != 0 && command.number == faults_.hangUpAfterCommands;
}

}  // namespace ql::sim
