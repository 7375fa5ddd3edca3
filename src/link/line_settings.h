// The line-settings text of a serial link, such as "19200,e,8,1": baud rate,
// parity letter, data bits and stop bits, separated by commas.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ql::link {

enum class Parity { None, Even, Odd, Mark, Space };
enum class StopBits { One, OneAndHalf, Two };

// What a settings text names. Fields the text leaves out keep the port's
// current value.
struct LineSettings {
  std::uint32_t baud = 0;
  std::optional<Parity> parity;
  std::optional<int> dataBits;
  std::optional<StopBits> stopBits;

  bool operator==(const LineSettings&) const = default;
};

inline constexpr std::uint32_t kMaxBaud = 4'000'000;

// The line settings an operator picks from, in the order offered, and the
// one offered first: 19200 baud, even parity.
inline constexpr std::array<const char*, 18> kLineSettingChoices = {
    "4800,n,8,1",   "4800,e,8,1",   "9600,n,8,1",   "9600,e,8,1",   "19200,n,8,1",  "19200,e,8,1",
    "38400,n,8,1",  "38400,e,8,1",  "57600,n,8,1",  "57600,e,8,1",  "115200,n,8,1", "115200,e,8,1",
    "230400,n,8,1", "230400,e,8,1", "460800,n,8,1", "460800,e,8,1", "921600,n,8,1", "921600,e,8,1"};
inline constexpr int kDefaultLineSettingChoice = 5;

// Reads "baud[,parity[,data bits[,stop bits]]]". The baud rate is a decimal
// number from 1 to 4000000; parity one of the letters n, e, o, m, s (either
// case); data bits 5 to 8; stop bits 1, 1.5 or 2. Blanks around each field
// are allowed. nullopt for anything else (an empty text, an empty or unknown
// field, more than four fields): the port then keeps its current settings.
std::optional<LineSettings> ParseLineSettings(std::string_view text);

// Why a port cannot be given `parsed`, the text as ParseLineSettings read
// it: nothing read, or (with a value) a rate the system has no speed for.
std::string UnusableLineSettings(const std::optional<LineSettings>& parsed);

}  // namespace ql::link
