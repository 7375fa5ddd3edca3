// One framed command and the wait for its reply.
//
// The reply window is 300 ms from the moment the request has been handed to
// the link. The two link kinds end it differently, as the device firmware
// expects:
//  - serial: elapsed time is measured only after a read that brought nothing,
//    so a reply that keeps streaming in past 300 ms is not cut off; the wait
//    ends at the first quiet line after 300 ms, "quiet" meaning no byte for
//    the larger of 1 ms and three character times at the port's rate (inside
//    a frame: the larger of 20 ms and ten character times), and never lasts
//    longer than the bound of serial_reply_wait.h;
//  - TCP: elapsed time is measured after every read, so the wait ends at the
//    first check after 300 ms, whatever is still arriving.
// Each read waits on the link for the rest of the window (at least 1 ms), so
// the thread sleeps in the kernel instead of polling.
//
// A link that goes away (the port hung up or was removed, the peer closed or
// reset the connection) ends the exchange at once: nothing more can come, so
// the rest of the window is not waited out, and nothing is sent on it again.
//
// A half-duplex adapter hands back every byte the host sends before the
// device answers. An exact copy of the request at the start of what arrives
// is the link's, not the device's: it is removed before framing and does not
// count as a disturbance. A copy that is cut or altered is stray bytes like
// any other noise.
#include "link/command_exchange.h"

#include <algorithm>
#include <array>
#include <span>
#include <utility>

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
  verdict_ = LinkGone() ? ExchangeVerdict::LinkGone : ExchangeVerdict::NoReply;
  if (payload.size() > kMaxPayload || LinkGone()) {
    return false;
  }
  const std::vector<std::uint8_t> request = BuildRequest(payload);

  framer_.ClearBuffer();
  received_.clear();
  if (transport_.Write(request) == WriteResult::Gone) {
    // Nothing went out, and nothing will come back.
    NoteGone();
    return Report(Reply::Gone) == Reply::Accepted;
  }
  if (observer_ != nullptr) {
    observer_->FrameSent(request);
  }
  const Reply reply = AwaitReply(request);
  clock_.MarkPauseStart();
  replyWaitEndMs_ = clock_.NowMs();
  return Report(reply) == Reply::Accepted;
}

CommandExchange::Reply CommandExchange::Report(Reply reply) {
  verdict_ = reply == Reply::Accepted   ? ExchangeVerdict::Accepted
             : reply == Reply::Rejected ? ExchangeVerdict::BadCrc
             : reply == Reply::Gone     ? ExchangeVerdict::LinkGone
                                        : ExchangeVerdict::NoReply;
  if (observer_ != nullptr) {
    observer_->BytesReceived(received_);
    observer_->ExchangeEnded(verdict_, notes_);
  }
  return reply;
}

void CommandExchange::NoteGone() {
  if (!goneReason_.empty()) {
    return;
  }
  goneReason_ = transport_.GoneReason();
  if (goneReason_.empty()) {
    goneReason_ = "the link is gone";
  }
  if (observer_ != nullptr) {
    observer_->LinkGone(goneReason_);
  }
}

bool CommandExchange::Gone(const ReadResult& read) {
  if (read.gone) {
    NoteGone();
  }
  return read.gone;
}

bool CommandExchange::QuietForWindowAfterReply() {
  std::uint8_t byte = 0;
  while (!LinkGone()) {
    const std::uint32_t elapsed = ElapsedMs(replyWaitEndMs_, clock_.NowMs());
    if (elapsed > kReplyWindowMs) {
      return true;
    }
    const ReadResult read = transport_.Read(std::span(&byte, 1), RemainingWait(elapsed));
    if (read.count > 0) {
      heldOver_.push_back(byte);
      return false;
    }
    Gone(read);
  }
  return false;
}

bool CommandExchange::Resync() {
  if (LinkGone()) {
    return false;
  }
  std::array<std::uint8_t, kFrameBufferSize> discard{};
  std::vector<std::uint8_t> discarded = std::exchange(heldOver_, {});
  resyncDiscardedReply_ =
      std::find(discarded.begin(), discarded.end(), kReplyStart) != discarded.end();
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
    const ReadResult read = transport_.Read(discard, RemainingWait(quiet));
    if (Gone(read)) {
      // Never in step again: the gone link was told instead.
      clock_.MarkPauseStart();
      return false;
    }
    const std::size_t n = read.count;
    if (n > 0) {
      lastByte = clock_.NowMs();
      if (std::find(discard.begin(), discard.begin() + n, kReplyStart) != discard.begin() + n) {
        resyncDiscardedReply_ = true;
      }
      if (observer_ != nullptr && discarded.size() < kMaxObservedBytes) {
        discarded.insert(discarded.end(), discard.begin(), discard.begin() + n);
      }
    }
  }
}

CommandExchange::Reply CommandExchange::AwaitReply(const std::vector<std::uint8_t>& request) {
  framer_.ResetLength();
  const std::uint32_t start = clock_.NowMs();
  std::size_t fed = 0;       // bytes handed to the framer
  std::size_t starts = 0;    // reply start bytes among them
  std::size_t echoed = 0;    // leading bytes that match the request so far
  bool matchingEcho = true;  // every byte so far has matched the request
  // Hands one byte to the framer; true when it completed a frame.
  auto feed = [this, &fed, &starts](std::uint8_t b) {
    ++fed;
    if (b == kReplyStart) {
      ++starts;
    }
    return framer_.Feed(b);
  };
  // Takes one received byte: held back while it may still be part of an
  // echo of the request, else framed. True when a frame is complete.
  auto take = [&](std::uint8_t b) {
    if (observer_ != nullptr && received_.size() < kMaxObservedBytes) {
      received_.push_back(b);
    }
    if (matchingEcho) {
      if (echoed < request.size() && b == request[echoed]) {
        if (++echoed == request.size()) {
          notes_.echoBytes = echoed;
          matchingEcho = false;
        }
        return false;
      }
      // Not an echo after all: what was held back is stray, and comes first.
      matchingEcho = false;
      for (std::size_t i = 0; i < echoed; ++i) {
        feed(request[i]);
      }
    }
    return feed(b);
  };
  // Every byte of the wait that is not part of the completing frame or the
  // echo is a stray byte; a second start byte among them is part of another
  // reply.
  auto completed = [this, &fed, &starts] {
    notes_.strayBytes = fed - static_cast<std::size_t>(framer_.ReplyLength());
    notes_.otherFrame = notes_.otherFrame || starts > 1;
    return framer_.CheckResponse() ? Reply::Accepted : Reply::Rejected;
  };
  auto timedOut = [this, &fed, &starts, &echoed, &matchingEcho] {
    notes_.strayBytes = fed + (matchingEcho ? echoed : 0);
    notes_.otherFrame = starts > 0;
    return Reply::None;
  };
  // The link went away before a frame was complete: nothing more can come.
  auto gone = [&timedOut] {
    timedOut();
    return Reply::Gone;
  };

  if (transport_.Kind() == LinkKind::Tcp) {
    std::array<std::uint8_t, kFrameBufferSize> block{};
    std::uint32_t elapsed = 0;
    while (elapsed <= kReplyWindowMs) {
      const ReadResult read = transport_.Read(block, RemainingWait(elapsed));
      if (Gone(read)) {
        return gone();
      }
      const std::size_t n = read.count;
      for (std::size_t i = 0; i < n; ++i) {
        // Bytes of this read after the completing CR are dropped.
        if (take(block[i])) {
          const auto rest = std::span(block).subspan(i + 1, n - i - 1);
          notes_.droppedBytes = rest.size();
          notes_.otherFrame = std::find(rest.begin(), rest.end(), kReplyStart) != rest.end();
          return completed();
        }
      }
      elapsed = ElapsedMs(start, clock_.NowMs());
    }
    return timedOut();
  }

  // Serial: one byte per read. Bytes after the completing CR stay in the
  // port's input queue for the next exchange. Elapsed time for the window is
  // taken only after a read that brought nothing, and such a read waits for
  // a whole quiet period of the line; the hard bound is checked after every
  // read, so a device that never falls quiet cannot hold the wait.
  const std::chrono::nanoseconds characterTime = transport_.CharacterTime();
  const std::chrono::microseconds quiet = QuietPeriod(characterTime);
  const std::chrono::microseconds quietInFrame = InFrameQuietPeriod(characterTime);
  const std::uint32_t boundMs = SerialWaitBoundMs(kReplyWindowMs, characterTime);
  std::uint32_t elapsed = 0;
  while (elapsed <= kReplyWindowMs) {
    const std::uint32_t now = ElapsedMs(start, clock_.NowMs());
    if (now >= boundMs) {
      break;
    }
    const std::chrono::microseconds wait = std::min<std::chrono::microseconds>(
        std::max<std::chrono::microseconds>(framer_.InFrame() ? quietInFrame : quiet,
                                            RemainingWait(now)),
        std::chrono::milliseconds(boundMs - now));
    std::uint8_t byte = 0;
    const ReadResult read = transport_.Read(std::span(&byte, 1), wait);
    if (Gone(read)) {
      return gone();
    }
    if (read.count == 0) {
      elapsed = ElapsedMs(start, clock_.NowMs());
      continue;
    }
    if (take(byte)) {
      return completed();
    }
  }
  return timedOut();
}

}  // namespace ql::link
