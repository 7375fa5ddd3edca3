// Reply faults on the way from the device to the link.
#include "sim/reply_faults.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iterator>

#include "link/crc16.h"
#include "link/frame.h"

namespace ql::sim {
namespace {

bool AnyMatches(const std::vector<CommandSelector>& selectors, const CommandRef& command) {
  return std::any_of(selectors.begin(), selectors.end(),
                     [&command](const CommandSelector& s) { return s.Matches(command); });
}

// SplitMix64: a well-mixed number for each (seed, command) pair.
std::uint64_t Mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

enum class RandomFault { None, Lost, Late, Twice, NoCr, Noise, BadCrc };

RandomFault DrawRandomFault(const RandomFaults& random, const CommandRef& command) {
  if (!random.Enabled() || command.kind != CommandKind::Verify) {
    return RandomFault::None;
  }
  const std::uint64_t draw = Mix(random.seed * 0x100000001B3ULL ^ command.number);
  if (draw % 1000 >= random.perMille) {
    return RandomFault::None;
  }
  constexpr RandomFault kFaults[] = {RandomFault::Lost, RandomFault::Late,  RandomFault::Twice,
                                     RandomFault::NoCr, RandomFault::Noise, RandomFault::BadCrc};
  return kFaults[(draw / 1000) % std::size(kFaults)];
}

void AddNote(std::string& notes, const char* note) {
  if (!notes.empty()) {
    notes += ", ";
  }
  notes += note;
}

}  // namespace

Transmission ReplyFaults::Transmit(const CommandRef& command,
                                   const std::optional<std::string>& body,
                                   std::span<const std::uint8_t> previousFrame) const {
  Transmission out;
  if (!body) {
    return out;
  }
  const RandomFault random = DrawRandomFault(faults_.random, command);
  if (AnyMatches(faults_.dropReply, command) || random == RandomFault::Lost) {
    AddNote(out.faults, "reply dropped");
    return out;
  }

  std::vector<std::uint8_t> frame = link::BuildReply(*body);
  // The CRC characters are the four bytes before the final CR.
  const auto crcBegin = frame.end() - 5;
  const auto crcEnd = frame.end() - 1;
  if (AnyMatches(faults_.corruptCrc, command) || random == RandomFault::BadCrc) {
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
  if (AnyMatches(faults_.dropLastByte, command) || random == RandomFault::NoCr) {
    frame.pop_back();
    AddNote(out.faults, "last byte lost");
  }
  // A line turning round puts its glitch on the wire before anything else.
  if (AnyMatches(faults_.glitchBefore, command)) {
    out.bytes.push_back(faults_.glitchByte);
    AddNote(out.faults, "glitch byte before the frame");
  }
  if (AnyMatches(faults_.noiseBefore, command) || random == RandomFault::Noise) {
    out.bytes.insert(out.bytes.end(), faults_.noise.begin(), faults_.noise.end());
    AddNote(out.faults, "noise before the frame");
  }
  const bool staleBefore = AnyMatches(faults_.staleBefore, command) && !previousFrame.empty();
  const bool staleAfter = AnyMatches(faults_.staleAfter, command) && !previousFrame.empty();
  if (staleBefore) {
    out.bytes.insert(out.bytes.end(), previousFrame.begin(), previousFrame.end());
    AddNote(out.faults, "previous reply before the frame");
  }
  const std::size_t frameAt = out.bytes.size();
  out.bytes.insert(out.bytes.end(), frame.begin(), frame.end());
  if (AnyMatches(faults_.duplicateReply, command) || random == RandomFault::Twice) {
    out.bytes.insert(out.bytes.end(), frame.begin(), frame.end());
    AddNote(out.faults, "sent twice");
  }
  if (staleAfter) {
    out.bytes.insert(out.bytes.end(), previousFrame.begin(), previousFrame.end());
    AddNote(out.faults, "previous reply after the frame");
  }
  for (const auto& pause : faults_.replyPauses) {
    if (pause.when.Matches(command) && !frame.empty()) {
      const std::size_t at = std::min(pause.at.value_or(frame.size() / 2), frame.size() - 1);
      out.pauseAt = frameAt + at;
      out.pause = pause.hold;
      AddNote(out.faults, "pause inside the frame");
      break;
    }
  }
  out.frame = std::move(frame);

  for (const auto& late : faults_.lateReply) {
    if (late.when.Matches(command)) {
      out.delay = std::max(out.delay, late.delay);
    }
  }
  if (random == RandomFault::Late) {
    // Past the reply window by a few to a hundred milliseconds.
    out.delay = std::max(out.delay, std::chrono::milliseconds(305 + (command.number * 37) % 100));
  }
  if (out.delay.count() > 0) {
    AddNote(out.faults, "late");
  }
  return out;
}

bool ReplyFaults::Echoes(const std::optional<CommandRef>& command) const {
  if (command) {
    return AnyMatches(faults_.echoRequest, *command);
  }
  // A frame the device does not number is echoed only by a selector that
  // takes every frame.
  return std::any_of(faults_.echoRequest.begin(), faults_.echoRequest.end(),
                     [](const CommandSelector& s) { return !s.kind && s.nth == 0; });
}

bool ReplyFaults::HangsUpAfter(const CommandRef& command) const {
  return faults_.hangUpAfterCommands != 0 && command.number == faults_.hangUpAfterCommands;
}

}  // namespace ql::sim
