// A real link with its reads counted, for tests that tell a wait from a
// spin without timing either.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "link/transport.h"

namespace ql::testing_support {

// Passes everything through to a real link and counts the reads, so a test
// can tell a wait from a spin, and the reads that brought nothing: an
// exchange that ended on what came, without waiting out a silence, has none.
class CountingTransport final : public link::Transport {
 public:
  explicit CountingTransport(link::Transport& inner) : inner_(inner) {}
  link::LinkKind Kind() const override { return inner_.Kind(); }
  link::WriteResult Write(std::span<const std::uint8_t> bytes) override {
    return inner_.Write(bytes);
  }
  link::ReadResult Read(std::span<std::uint8_t> into, std::chrono::microseconds wait) override {
    ++reads;
    const link::ReadResult read = inner_.Read(into, wait);
    emptyReads += read.count == 0 ? 1 : 0;
    return read;
  }
  std::string GoneReason() const override { return inner_.GoneReason(); }
  bool InputWaiting() override { return inner_.InputWaiting(); }
  std::chrono::nanoseconds CharacterTime() const override { return inner_.CharacterTime(); }
  void Close() override { inner_.Close(); }

  int reads = 0;
  int emptyReads = 0;

 private:
  link::Transport& inner_;
};

}  // namespace ql::testing_support
