// Parsing the line-settings text of a serial link.
#include "link/line_settings.h"

#include <array>
#include <cctype>

namespace ql::link {
namespace {

std::string_view Trim(std::string_view s) {
  const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && isBlank(s.front())) {
    s.remove_prefix(1);
  }
  while (!s.empty() && isBlank(s.back())) {
    s.remove_suffix(1);
  }
  return s;
}

std::optional<std::uint32_t> ParseBaud(std::string_view s) {
  if (s.empty()) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > kMaxBaud) {
      return std::nullopt;
    }
  }
  if (value == 0) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

std::optional<Parity> ParseParity(std::string_view s) {
  if (s.size() != 1) {
    return std::nullopt;
  }
  switch (std::tolower(static_cast<unsigned char>(s[0]))) {
    case 'n':
      return Parity::None;
    case 'e':
      return Parity::Even;
    case 'o':
      return Parity::Odd;
    case 'm':
      return Parity::Mark;
    case 's':
      return Parity::Space;
    default:
      return std::nullopt;
  }
}

std::optional<int> ParseDataBits(std::string_view s) {
  if (s.size() != 1 || s[0] < '5' || s[0] > '8') {
    return std::nullopt;
  }
  return s[0] - '0';
}

std::optional<StopBits> ParseStopBits(std::string_view s) {
  if (s == "1") {
    return StopBits::One;
  }
  if (s == "1.5") {
    return StopBits::OneAndHalf;
  }
  if (s == "2") {
    return StopBits::Two;
  }
  return std::nullopt;
}

}  // namespace

std::optional<LineSettings> ParseLineSettings(std::string_view text) {
  std::array<std::string_view, 4> fields;
  std::size_t count = 0;
  while (true) {
    const std::size_t comma = text.find(',');
    if (count == fields.size()) {
      return std::nullopt;
    }
    fields[count++] = Trim(text.substr(0, comma));
    if (comma == std::string_view::npos) {
      break;
    }
    text.remove_prefix(comma + 1);
  }

  LineSettings settings;
  const auto baud = ParseBaud(fields[0]);
  if (!baud) {
    return std::nullopt;
  }
  settings.baud = *baud;
  if (count > 1 && !(settings.parity = ParseParity(fields[1]))) {
    return std::nullopt;
  }
  if (count > 2 && !(settings.dataBits = ParseDataBits(fields[2]))) {
    return std::nullopt;
  }
  if (count > 3 && !(settings.stopBits = ParseStopBits(fields[3]))) {
    return std::nullopt;
  }
  return settings;
}

std::string UnusableLineSettings(const std::optional<LineSettings>& parsed) {
  return parsed ? "the system has no speed for " + std::to_string(parsed->baud) + " baud"
                : "not line settings";
}

}  // namespace ql::link
