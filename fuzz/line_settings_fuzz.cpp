// Feeds arbitrary text to the line-settings parser and checks that whatever
// it accepts is in range, can be applied to a terminal without touching
// anything out of range, and reads the same with blanks around the fields.
#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "link/line_settings.h"
#include "link/serial_port_posix.h"

namespace {

using ql::fuzz::Require;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ql::link;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = ParseLineSettings(text);
  if (!parsed) {
    return 0;
  }
  Require(parsed->baud >= 1 && parsed->baud <= kMaxBaud);
  Require(!parsed->dataBits || (*parsed->dataBits >= 5 && *parsed->dataBits <= 8));
  // Later fields only when the earlier ones are there.
  Require(!parsed->dataBits || parsed->parity);
  Require(!parsed->stopBits || parsed->dataBits);

  std::string spaced = " ";
  for (const char c : text) {
    spaced += c == ',' ? std::string(" , ") : std::string(1, c);
  }
  spaced += " ";
  const auto again = ParseLineSettings(spaced);
  Require(again && *again == *parsed);

  termios tio{};
  const termios before = tio;
  if (!ApplyLineSettings(*parsed, tio)) {
    Require(std::string_view(reinterpret_cast<const char*>(&tio), sizeof tio) ==
            std::string_view(reinterpret_cast<const char*>(&before), sizeof before));
  }
  return 0;
}
