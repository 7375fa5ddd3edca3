// The scripted link used by tests on the virtual clock.
#include "support/scripted_transport.h"

#include <algorithm>

#include "link/frame.h"

namespace ql::testing_support {

Arrival ArriveAfter(std::uint32_t afterMs, std::string_view bytes) {
  return Arrival{afterMs, std::vector<std::uint8_t>(bytes.begin(), bytes.end())};
}

Arrival ArriveAfter(std::uint32_t afterMs, const std::vector<std::uint8_t>& bytes) {
  return Arrival{afterMs, bytes};
}

Arrival StreamAfter(std::uint32_t afterMs, const std::vector<std::uint8_t>& bytes,
                    std::uint32_t byteSpacingUs) {
  return Arrival{afterMs, bytes, byteSpacingUs};
}

Arrival StreamAfterUs(std::uint64_t afterUs, const std::vector<std::uint8_t>& bytes,
                      std::uint32_t byteSpacingUs) {
  return Arrival{static_cast<std::uint32_t>(afterUs / 1000), bytes, byteSpacingUs,
                 static_cast<std::uint32_t>(afterUs % 1000)};
}

ScriptedTransport::ScriptedTransport(VirtualClock& clock, link::LinkKind kind)
    : clock_(clock), kind_(kind) {}

void ScriptedTransport::Schedule(Arrival arrival) {
  std::uint64_t at = clock_.NowUs() + std::uint64_t{arrival.afterMs} * 1000 + arrival.extraUs;
  for (const std::uint8_t b : arrival.bytes) {
    // Mostly appended at the end; after every byte due at the same moment.
    if (pending_.empty() || pending_.back().first <= at) {
      pending_.emplace_back(at, b);
      at += arrival.byteSpacingUs;
      continue;
    }
    const auto place =
        std::upper_bound(pending_.begin(), pending_.end(), at,
                         [](std::uint64_t t, const auto& pending) { return t < pending.first; });
    pending_.emplace(place, at, b);
    at += arrival.byteSpacingUs;
  }
}

void ScriptedTransport::GoAway(std::string reason, std::uint64_t afterUs) {
  goneAtUs_ = clock_.NowUs() + afterUs;
  goneReason_ = std::move(reason);
  // What would have come after the link went never comes.
  while (!pending_.empty() && pending_.back().first >= *goneAtUs_) {
    pending_.pop_back();
  }
}

link::WriteResult ScriptedTransport::Write(std::span<const std::uint8_t> bytes) {
  if (Gone()) {
    return link::WriteResult::Gone;
  }
  writes_.emplace_back(bytes.begin(), bytes.end());
  if (responder_) {
    for (auto& arrival : responder_(writes_.back())) {
      if (!goneAtUs_ || clock_.NowUs() + std::uint64_t{arrival.afterMs} * 1000 < *goneAtUs_) {
        Schedule(std::move(arrival));
      }
    }
  }
  return link::WriteResult::Sent;
}

link::ReadResult ScriptedTransport::Read(std::span<std::uint8_t> into,
                                         std::chrono::microseconds wait) {
  waits_.push_back(wait);
  const std::uint64_t now = clock_.NowUs();
  const std::uint64_t deadline =
      now + static_cast<std::uint64_t>(std::max<std::int64_t>(wait.count(), 0));
  const bool dueNow = !pending_.empty() && pending_.begin()->first <= now;
  if (!dueNow && goneAtUs_ && (pending_.empty() || *goneAtUs_ <= pending_.begin()->first) &&
      *goneAtUs_ < deadline) {
    clock_.AdvanceUs(std::max(*goneAtUs_, now) - now);
    return link::ReadResult{.gone = true};
  }
  if (!dueNow && (pending_.empty() || pending_.begin()->first >= deadline)) {
    clock_.AdvanceUs(deadline - now);
    return {};
  }
  if (!dueNow) {
    clock_.AdvanceUs(pending_.begin()->first - now);
  }
  std::size_t count = 0;
  while (count < into.size() && !pending_.empty() && pending_.begin()->first <= clock_.NowUs()) {
    into[count++] = pending_.front().second;
    pending_.pop_front();
  }
  return link::ReadResult{.count = count};
}

bool ScriptedTransport::InputWaiting() {
  return !pending_.empty() && pending_.begin()->first <= clock_.NowUs();
}

std::vector<std::string> ScriptedTransport::WrittenPayloads() const {
  std::vector<std::string> payloads;
  for (const auto& w : writes_) {
    // 0x01, payload, 0x02, 4 CRC characters, CR
    if (w.size() >= link::kFrameOverhead) {
      payloads.emplace_back(w.begin() + 1, w.end() - 6);
    } else {
      payloads.emplace_back();
    }
  }
  return payloads;
}

}  // namespace ql::testing_support
