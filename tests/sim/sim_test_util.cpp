// Helpers for the emulator's tests.
#include "sim_test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "link/frame.h"

namespace ql::testing_support {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::max<long long>(left, 0));
}

// Whether `bytes` ends with a complete reply frame.
bool EndsWithReply(const Bytes& bytes) {
  if (bytes.size() < link::kFrameOverhead || bytes.back() != link::kCr) {
    return false;
  }
  const auto start = std::find(bytes.rbegin(), bytes.rend(), link::kReplyStart);
  if (start == bytes.rend()) {
    return false;
  }
  const auto end = std::find(start.base(), bytes.end(), link::kReplyEnd);
  return end != bytes.end() && bytes.end() - end == 6;
}

}  // namespace

Bytes Pattern(int seed) {
  Bytes block(512);
  for (std::size_t i = 0; i < block.size(); ++i) {
    block[i] = static_cast<std::uint8_t>(i * 7 + static_cast<std::size_t>(seed) * 31 + (i >> 8));
  }
  return block;
}

std::string BlockHex(const Bytes& block) {
  std::string text;
  for (const std::uint8_t b : block) {
    link::AppendHexByte(text, b);
  }
  return text;
}

std::string WritePayload(std::string_view id, int block, const Bytes& data) {
  char address[8];
  std::snprintf(address, sizeof address, "%04X", block * 512);
  return std::string(id) + "Zp" + address + BlockHex(data);
}

Bytes RequestBytes(std::string_view payload) {
  return link::BuildRequest(payload);
}

std::unique_ptr<sim::Emulator> StartEmulator(const sim::SimConfig& config,
                                             sim::EmulatorHooks hooks) {
  auto emulator = std::make_unique<sim::Emulator>(config, std::move(hooks));
  std::string error;
  EXPECT_TRUE(emulator->Start(error)) << error;
  return emulator;
}

RawLink RawLink::Tcp(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return RawLink(-1);
  }
  return RawLink(fd);
}

RawLink RawLink::Pty(const std::string& slavePath) {
  const int fd = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0) {
    ::tcflush(fd, TCIOFLUSH);
  }
  return RawLink(fd);
}

RawLink::RawLink(RawLink&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

RawLink::~RawLink() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

void RawLink::Send(const Bytes& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + sent, bytes.size() - sent);
    ASSERT_GT(n, 0) << "write to the emulator failed";
    sent += static_cast<std::size_t>(n);
  }
}

Bytes RawLink::ReadReply(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  Bytes received;
  while (!EndsWithReply(received)) {
    pollfd p{.fd = fd_, .events = POLLIN, .revents = 0};
    if (::poll(&p, 1, MillisecondsLeft(deadline)) <= 0) {
      break;
    }
    // One byte at a time, so nothing after the reply's CR is taken.
    std::uint8_t b = 0;
    if (::read(fd_, &b, 1) != 1) {
      break;
    }
    received.push_back(b);
  }
  return received;
}

Bytes RawLink::Read(std::size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  Bytes received(count);
  std::size_t got = 0;
  while (got < count) {
    pollfd p{.fd = fd_, .events = POLLIN, .revents = 0};
    if (::poll(&p, 1, MillisecondsLeft(deadline)) <= 0) {
      break;
    }
    const ssize_t n = ::read(fd_, received.data() + got, count - got);
    if (n <= 0) {
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  received.resize(got);
  return received;
}

bool RawLink::StaysQuiet(std::chrono::milliseconds quiet) {
  pollfd p{.fd = fd_, .events = POLLIN, .revents = 0};
  return ::poll(&p, 1, static_cast<int>(quiet.count())) == 0;
}

bool RawLink::SeesHangUp(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    pollfd p{.fd = fd_, .events = POLLIN, .revents = 0};
    if (::poll(&p, 1, MillisecondsLeft(deadline)) <= 0) {
      return false;
    }
    std::uint8_t b = 0;
    const ssize_t n = ::read(fd_, &b, 1);
    if (n <= 0) {
      return true;  // end of stream, or the hung-up terminal's error
    }
  }
}

}  // namespace ql::testing_support
