// One framed command and the wait for its reply.
//
// The reply window is 300 ms from the moment the request has been handed to
// the link. The two link kinds end it differently, as the device firmware
// expects:
//  - serial: elapsed time is measured only after a read that brought nothing,
//    so a reply that keeps streaming in past 300 ms is not cut off; the wait
//    ends at the first quiet line after 300 ms, "quiet" meaning no byte for
//    the larger of 1 ms and three character times at the port's rate, and
//    never lasts longer than the bound of serial_reply_wait.h;
//  - TCP: elapsed time is measured after every read, so the wait ends at the
//    first check after 300 ms, whatever is still arriving.
// Each read waits on the link for the rest of the window (at least 1 ms), so
// the thread sleeps in the kernel instead of polling.
#include "link/command_exchange.h"

#include <algorithm>
#include <array>

#include "link/frame.h"
#include "link/serial_reply_wait.h"

namespace ql::link {
namespace {

// The window lasts while elapsed <= 300 ms; a wait of 301 - elapsed ends it
// exactly at the first millisecond past it.
std::chrono::milliseconds RemainingWait(std::uint32_t elapsedMs) {
  const std::int64_t left = std::int64_t{kReplyWindowMs} + 1 - std::int64_t{elapsedMs};
  return std::chrono::milliseconds(std::max<std::int64_t>(1, left));
}

// An observer is shown at most this much of what one exchange or one resync
// reads; a device that floods the link must not grow memory without bound.
constexpr std::size_t kMaxObservedBytes = 64 * 1024;

}  // namespace

std::uint32_t ResyncLimitMs(std::chrono::nanoseconds characterTime) {
  const auto twoReplies = std::chrono::ceil<std::chrono::milliseconds>(
      2 * static_cast<std::int64_t>(kFrameBufferSize) * characterTime);
  return std::max(kResyncLimitMs, kReplyWindowMs + static_cast<std::uint32_t>(twoReplies.count()) +
                                      static_cast<std::uint32_t>(kSerialWaitMargin.count()));
}

CommandExchange::CommandExchange(Transport& transport, Clock& clock)
    : transport_(transport), clock_(clock) {}

bool CommandExchange::ExchangeCommand(std::string_view payload) {
  notes_ = {};
  if (payload.size() > kMaxPayload) {
    return false;
  }
  const std::vector<std::uint8_t> request = BuildRequest(payload);

  framer_.ClearBuffer();
  transport_.Write(request);
  if (observer_ != nullptr) {
    observer_->FrameSent(request);
    received_.clear();
  }
  const Reply reply = AwaitReply();
  clock_.MarkPauseStart();
  return Report(reply) == Reply::Accepted;
}

CommandExchange::Reply CommandExchange::Report(Reply reply) {
  if (observer_ != nullptr) {
    observer_->BytesReceived(received_);
    observer_->ExchangeEnded(reply == Reply::Accepted   ? ExchangeVerdict::Accepted
                             : reply == Reply::Rejected ? ExchangeVerdict::BadCrc
                                                        : ExchangeVerdict::NoReply,
                             notes_);
  }
  return reply;
}

bool CommandExchange::Resync() {
  std::array<std::uint8_t, kFrameBufferSize> discard{};
  std::vector<std::uint8_t> discarded;
  auto done = [this, &discarded](bool quiet) {
    clock_.MarkPauseStart();
    if (observer_ != nullptr) {
      observer_->LinkResynced(discarded, quiet);
    }
    return quiet;
  };
  const std::uint32_t limitMs = ResyncLimitMs(transport_.CharacterTime());
  const std::uint32_t start = clock_.NowMs();
  std::uint32_t lastByte = start;
  while (true) {
    const std::uint32_t now = clock_.NowMs();
    const std::uint32_t quiet = ElapsedMs(lastByte, now);
    if (quiet > kReplyWindowMs) {
      return done(true);
    }
    if (ElapsedMs(start, now) > limitMs) {
      return done(false);
    }
    const std::size_t n = transport_.Read(discard, RemainingWait(quiet));
    if (n > 0) {
      lastByte = clock_.NowMs();
      if (observer_ != nullptr && discarded.size() < kMaxObservedBytes) {
        discarded.insert(discarded.end(), discard.begin(), discard.begin() + n);
      }
    }
  }
}

CommandExchange::Reply CommandExchange::AwaitReply() {
  framer_.ResetLength();
  const std::uint32_t start = clock_.NowMs();
  std::size_t fed = 0;
  auto Observe = [this](std::uint8_t b) {
    if (observer_ != nullptr && received_.size() < kMaxObservedBytes) {
      received_.push_back(b);
    }
  };
  // Every byte of the wait that is not part of the completing frame is a
  // stray byte.
  auto completed = [this, &fed] {
    notes_.strayBytes = fed - static_cast<std::size_t>(framer_.ReplyLength());
    return framer_.CheckResponse() ? Reply::Accepted : Reply::Rejected;
  };

  if (transport_.Kind() == settings::LinkKind::Tcp) {
    std::array<std::uint8_t, kFrameBufferSize> block{};
    std::uint32_t elapsed = 0;
    while (elapsed <= kReplyWindowMs) {
      const std::size_t n = transport_.Read(block, RemainingWait(elapsed));
      for (std::size_t i = 0; i < n; ++i) {
        ++fed;
        Observe(block[i]);
        // Bytes of this read after the completing CR are dropped.
        if (framer_.Feed(block[i])) {
          notes_.droppedBytes = n - i - 1;
          return completed();
        }
      }
      elapsed = ElapsedMs(start, clock_.NowMs());
    }
    notes_.strayBytes = fed;
    return Reply::None;
  }

  // Serial: one byte per read. Bytes after the completing CR stay in the
  // port's input queue for the next exchange. Elapsed time for the window is
  // taken only after a read that brought nothing, and such a read waits for
  // a whole quiet period of the line; the hard bound is checked after every
  // read, so a device that never falls quiet cannot hold the wait.
  const std::chrono::nanoseconds characterTime = transport_.CharacterTime();
  const std::chrono::microseconds quiet = QuietPeriod(characterTime);
  const std::uint32_t boundMs = SerialWaitBoundMs(kReplyWindowMs, characterTime);
  std::uint32_t elapsed = 0;
  while (elapsed <= kReplyWindowMs) {
    const std::uint32_t now = ElapsedMs(start, clock_.NowMs());
    if (now >= boundMs) {
      break;
    }
    const std::chrono::microseconds wait = std::min<std::chrono::microseconds>(
        std::max<std::chrono::microseconds>(quiet, RemainingWait(now)),
        std::chrono::milliseconds(boundMs - now));
    std::uint8_t byte = 0;
    const std::size_t n = transport_.Read(std::span(&byte, 1), wait);
    if (n == 0) {
      elapsed = ElapsedMs(start, clock_.NowMs());
      continue;
    }
    ++fed;
    Observe(byte);
    if (framer_.Feed(byte)) {
      return completed();
    }
  }
  notes_.strayBytes = fed;
  return Reply::None;
}

}  // namespace ql::link
