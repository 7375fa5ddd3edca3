// A link for tests on the virtual clock: it records every write, answers from
// a script, and delivers each scheduled arrival when the clock reaches it.
// Reading advances the virtual clock, as a real wait would.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/transport.h"
#include "support/virtual_clock.h"

namespace ql::testing_support {

// Bytes that reach the reader `afterMs` milliseconds after they were scheduled.
struct Arrival {
  std::uint32_t afterMs = 0;
  std::vector<std::uint8_t> bytes;
};

Arrival ArriveAfter(std::uint32_t afterMs, std::string_view bytes);
Arrival ArriveAfter(std::uint32_t afterMs, const std::vector<std::uint8_t>& bytes);

class ScriptedTransport final : public link::Transport {
 public:
  // Called for every write with the bytes written; what it returns is
  // scheduled from the moment of the write.
  using Responder = std::function<std::vector<Arrival>(const std::vector<std::uint8_t>& written)>;

  ScriptedTransport(VirtualClock& clock, settings::LinkKind kind);

  void SetResponder(Responder responder) { responder_ = std::move(responder); }

  // Schedules bytes from now, whatever is written.
  void Schedule(Arrival arrival);

  settings::LinkKind Kind() const override { return kind_; }
  void Write(std::span<const std::uint8_t> bytes) override;
  std::size_t Read(std::span<std::uint8_t> into, std::chrono::milliseconds wait) override;
  void Close() override { closed_ = true; }

  const std::vector<std::vector<std::uint8_t>>& Writes() const { return writes_; }
  // The payloads of the request frames written, without framing and CRC.
  std::vector<std::string> WrittenPayloads() const;
  bool Closed() const { return closed_; }
  // Bytes scheduled but not yet read.
  std::size_t Pending() const;
  // The waits asked of Read, in order.
  const std::vector<std::chrono::milliseconds>& Waits() const { return waits_; }

 private:
  struct Scheduled {
    std::uint32_t atMs;  // virtual time of arrival
    std::deque<std::uint8_t> bytes;
  };

  VirtualClock& clock_;
  settings::LinkKind kind_;
  Responder responder_;
  std::vector<Scheduled> scheduled_;  // kept in order of arrival
  std::vector<std::vector<std::uint8_t>> writes_;
  std::vector<std::chrono::milliseconds> waits_;
  bool closed_ = false;
};

}  // namespace ql::testing_support
