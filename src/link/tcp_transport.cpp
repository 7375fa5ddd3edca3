// Reading the port number of the TCP link's settings.
#include "link/tcp_transport.h"

namespace ql::link {
namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::uint16_t ParseNetPort(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Only the low 16 bits are kept, so arithmetic modulo 2^16 gives the same
  // result for any number of digits.
  std::uint16_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = static_cast<std::uint16_t>(value * 10u + static_cast<unsigned>(text[i] - '0'));
  }
  return negative ? static_cast<std::uint16_t>(0u - value) : value;
}

}  // namespace ql::link
