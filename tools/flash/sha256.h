// SHA-256 of a byte string, for naming the firmware a unit was given in the
// station log: the same file gives the same name on every machine.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace ql::flash {

using Sha256Digest = std::array<std::uint8_t, 32>;

// The digest of bytes that come in pieces, a file read part by part.
class Sha256Stream {
 public:
  Sha256Stream();
  void Add(std::span<const std::uint8_t> bytes);
  // The digest of everything added; the stream is used up.
  Sha256Digest Finish();

 private:
  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> block_{};
  std::size_t filled_ = 0;
  std::uint64_t length_ = 0;
};

Sha256Digest Sha256(std::span<const std::uint8_t> bytes);

// 64 lowercase hexadecimal digits, as sha256sum prints a digest.
std::string HexDigest(const Sha256Digest& digest);

// The digest as 64 lowercase hexadecimal digits, as sha256sum prints it.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace ql::flash
