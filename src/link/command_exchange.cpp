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
  if (payload.size() > kMaxPayload) {
    return false;
  }
  const std::vector<std::uint8_t> request = BuildRequest(payload);

  framer_.ClearBuffer();
  transport_.Write(request);
  return AwaitReply() == Reply::Accepted;
}

bool CommandExchange::ReplyArrivesUnasked() {
  framer_.ClearBuffer();
  return AwaitReply() != Reply::None;
}

CommandExchange::Reply CommandExchange::AwaitReply() {
  framer_.ResetLength();
  const std::uint32_t start = clock_.NowMs();
  auto completed = [this] { return framer_.CheckResponse() ? Reply::Accepted : Reply::Rejected; };

  if (transport_.Kind() == settings::LinkKind::Tcp) {
    std::array<std::uint8_t, kFrameBufferSize> block{};
    std::uint32_t elapsed = 0;
    while (elapsed <= kReplyWindowMs) {
      const std::size_t n = transport_.Read(block, RemainingWait(elapsed));
      for (std::size_t i = 0; i < n; ++i) {
        // Bytes of this read after the completing CR are dropped.
        if (framer_.Feed(block[i])) {
          return completed();
        }
      }
      elapsed = ElapsedMs(start, clock_.NowMs());
    }
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
    if (framer_.Feed(byte)) {
      return completed();
    }
  }
  return Reply::None;
}

}  // namespace ql::link
