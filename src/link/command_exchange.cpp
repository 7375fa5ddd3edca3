// One framed command and the wait for its reply.
//
// The reply window is 300 ms from the moment the request has been handed to
// the link. The two link kinds end it differently, as the device firmware
// expects:
//  - serial: elapsed time is measured only after a read that brought nothing,
//    so a reply that keeps streaming in past 300 ms is not cut off; the wait
//    ends at the first quiet millisecond after 300 ms;
//  - TCP: elapsed time is measured after every read, so the wait ends at the
//    first check after 300 ms, whatever is still arriving.
// Each read waits on the link for the rest of the window (at least 1 ms), so
// the thread sleeps in the kernel instead of polling.
#include "link/command_exchange.h"

#include <algorithm>
#include <array>

#include "link/frame.h"

namespace ql::link {
namespace {

// The window lasts while elapsed <= 300 ms; a wait of 301 - elapsed ends it
// exactly at the first millisecond past it.
std::chrono::milliseconds RemainingWait(std::uint32_t elapsedMs) {
  const std::int64_t left = std::int64_t{kReplyWindowMs} + 1 - std::int64_t{elapsedMs};
  return std::chrono::milliseconds(std::max<std::int64_t>(1, left));
}

}  // namespace

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
  return AwaitReply() == Reply::Accepted;
}

bool CommandExchange::Resync() {
  std::array<std::uint8_t, kFrameBufferSize> discard{};
  const std::uint32_t start = clock_.NowMs();
  std::uint32_t lastByte = start;
  while (true) {
    const std::uint32_t now = clock_.NowMs();
    const std::uint32_t quiet = ElapsedMs(lastByte, now);
    if (quiet > kReplyWindowMs) {
      return true;
    }
    if (ElapsedMs(start, now) > kResyncLimitMs) {
      return false;
    }
    if (transport_.Read(discard, RemainingWait(quiet)) > 0) {
      lastByte = clock_.NowMs();
    }
  }
}

CommandExchange::Reply CommandExchange::AwaitReply() {
  framer_.ResetLength();
  const std::uint32_t start = clock_.NowMs();
  std::size_t fed = 0;
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
  // port's input queue for the next exchange.
  std::uint32_t elapsed = 0;
  while (elapsed <= kReplyWindowMs) {
    std::uint8_t byte = 0;
    const std::size_t n =
        transport_.Read(std::span(&byte, 1), RemainingWait(ElapsedMs(start, clock_.NowMs())));
    if (n == 0) {
      elapsed = ElapsedMs(start, clock_.NowMs());
      continue;
    }
    ++fed;
    if (framer_.Feed(byte)) {
      return completed();
    }
  }
  notes_.strayBytes = fed;
  return Reply::None;
}

}  // namespace ql::link
