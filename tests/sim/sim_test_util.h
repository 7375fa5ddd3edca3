// Helpers for the emulator's tests: test data, request frames, a raw client
// end of the emulator's link, and the emulator started in-process.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/emulator.h"

namespace ql::testing_support {

using Bytes = std::vector<std::uint8_t>;

// A recognisable 512-byte block, different for every seed.
Bytes Pattern(int seed);

// The block as 1024 uppercase hexadecimal characters.
std::string BlockHex(const Bytes& block);

// "<id>Zp<address><data>" for the block.
std::string WritePayload(std::string_view id, int block, const Bytes& data);

// The request frame for the payload.
Bytes RequestBytes(std::string_view payload);

// Starts an emulator in-process; fails the current test if it cannot.
std::unique_ptr<sim::Emulator> StartEmulator(const sim::SimConfig& config,
                                             sim::EmulatorHooks hooks = {});

// The utility's end of the emulator's link as plain bytes: a TCP connection
// to 127.0.0.1 or the opened pseudo-terminal slave.
class RawLink {
 public:
  static RawLink Tcp(std::uint16_t port);
  static RawLink Pty(const std::string& slavePath);
  RawLink(RawLink&& other) noexcept;
  RawLink& operator=(RawLink&&) = delete;
  ~RawLink();

  bool Open() const { return fd_ >= 0; }
  void Send(const Bytes& bytes);
  void SendRequest(std::string_view payload) { Send(RequestBytes(payload)); }

  // Everything received up to and including the CR that ends a reply frame
  // (start byte, end marker, four characters, CR); what came so far if the
  // timeout passes first.
  Bytes ReadReply(std::chrono::milliseconds timeout);

  // Exactly `count` bytes, or what came before the timeout passed.
  Bytes Read(std::size_t count, std::chrono::milliseconds timeout);

  // Whether nothing arrives for `quiet`.
  bool StaysQuiet(std::chrono::milliseconds quiet);

  // Whether the other end closed or hung up within `timeout`.
  bool SeesHangUp(std::chrono::milliseconds timeout);

 private:
  explicit RawLink(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace ql::testing_support
