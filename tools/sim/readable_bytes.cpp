// Rendering link bytes for the log.
#include "sim/readable_bytes.h"

#include "link/frame.h"

namespace ql::sim {
namespace {

void AppendByte(std::string& out, std::uint8_t b) {
  if (b >= 0x20 && b <= 0x7E && b != '<') {
    out.push_back(static_cast<char>(b));
    return;
  }
  const auto hex = link::HexByte(b);
  out += '<';
  out.append(hex.data(), hex.size());
  out += '>';
}

}  // namespace

std::string ReadableBytes(std::span<const std::uint8_t> bytes, std::size_t limit) {
  // Head and tail kept when the middle is left out.
  const std::size_t tail = limit / 4;
  const std::size_t head = limit - tail;
  std::string out;
  if (bytes.size() <= limit) {
    for (const std::uint8_t b : bytes) {
      AppendByte(out, b);
    }
    return out;
  }
  for (const std::uint8_t b : bytes.first(head)) {
    AppendByte(out, b);
  }
  out += "...(" + std::to_string(bytes.size() - head - tail) + " more bytes)...";
  for (const std::uint8_t b : bytes.last(tail)) {
    AppendByte(out, b);
  }
  return out;
}

std::string ReadableBytes(std::string_view bytes, std::size_t limit) {
  return ReadableBytes(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
                       limit);
}

}  // namespace ql::sim
