// The scripted link used by tests on the virtual clock.
#include "support/scripted_transport.h"

#include <algorithm>

#include "link/frame.h"

namespace ql::testing_support {
namespace {

// Signed distance from `now` to `at` on the wrapping counter: negative when
// `at` has passed.
std::int32_t Ahead(std::uint32_t now, std::uint32_t at) {
  return static_cast<std::int32_t>(at - now);
}

}  // namespace

Arrival ArriveAfter(std::uint32_t afterMs, std::string_view bytes) {
  return Arrival{afterMs, std::vector<std::uint8_t>(bytes.begin(), bytes.end())};
}

Arrival ArriveAfter(std::uint32_t afterMs, const std::vector<std::uint8_t>& bytes) {
  return Arrival{afterMs, bytes};
}

ScriptedTransport::ScriptedTransport(VirtualClock& clock, settings::LinkKind kind)
    : clock_(clock), kind_(kind) {}

void ScriptedTransport::Schedule(Arrival arrival) {
  const std::uint32_t at = clock_.NowMs() + arrival.afterMs;
  Scheduled entry{at, std::deque<std::uint8_t>(arrival.bytes.begin(), arrival.bytes.end())};
  // Stable: arrivals due at the same moment keep the order they were scheduled in.
  const auto pos = std::upper_bound(
      scheduled_.begin(), scheduled_.end(), at,
      [this](std::uint32_t t, const Scheduled& s) {
        return Ahead(clock_.NowMs(), t) < Ahead(clock_.NowMs(), s.atMs);
      });
  scheduled_.insert(pos, std::move(entry));
}

void ScriptedTransport::Write(std::span<const std::uint8_t> bytes) {
  writes_.emplace_back(bytes.begin(), bytes.end());
  if (responder_) {
    for (auto& arrival : responder_(writes_.back())) {
      Schedule(std::move(arrival));
    }
  }
}

std::size_t ScriptedTransport::Read(std::span<std::uint8_t> into, std::chrono::milliseconds wait) {
  waits_.push_back(wait);
  const auto waitMs = static_cast<std::int32_t>(std::max<std::int64_t>(wait.count(), 0));
  if (scheduled_.empty() || Ahead(clock_.NowMs(), scheduled_.front().atMs) > waitMs) {
    clock_.Advance(static_cast<std::uint32_t>(waitMs));
    return 0;
  }
  // Something arrives within the wait: time moves on to its arrival, or not
  // at all when it is already due.
  const std::int32_t ahead = Ahead(clock_.NowMs(), scheduled_.front().atMs);
  if (ahead > 0) {
    clock_.Advance(static_cast<std::uint32_t>(ahead));
  }
  std::size_t count = 0;
  while (count < into.size() && !scheduled_.empty() &&
         Ahead(clock_.NowMs(), scheduled_.front().atMs) <= 0) {
    auto& front = scheduled_.front().bytes;
    while (count < into.size() && !front.empty()) {
      into[count++] = front.front();
      front.pop_front();
    }
    if (front.empty()) {
      scheduled_.erase(scheduled_.begin());
    }
  }
  return count;
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

std::size_t ScriptedTransport::Pending() const {
  std::size_t n = 0;
  for (const auto& s : scheduled_) {
    n += s.bytes.size();
  }
  return n;
}

}  // namespace ql::testing_support
