// The device's command handling and its flash.
#include "sim/device.h"

#include <algorithm>
#include <cctype>

#include "link/frame.h"

namespace ql::sim {
namespace {

constexpr std::string_view kHandshakeArgs = "Zx5E2D";
constexpr std::string_view kRunArgs = "ZrC71A";
constexpr std::size_t kAddressLength = 4;
constexpr std::size_t kDataLength = 2 * kBlockSize;

using link::UpperHexValue;

bool IsUpperHex(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return UpperHexValue(c) >= 0; });
}

// The block an address names, or why it names none.
struct BlockAddress {
  int block = -1;
  std::string problem;
};

BlockAddress ParseAddress(std::string_view text) {
  if (text.size() != kAddressLength || !IsUpperHex(text)) {
    return {.block = -1,
            .problem = "address '" + std::string(text) + "' is not 4 uppercase hex digits"};
  }
  int address = 0;
  for (const char c : text) {
    address = address * 16 + UpperHexValue(c);
  }
  if (address % kBlockSize != 0) {
    return {.block = -1, .problem = "address " + std::string(text) + " is not on a block boundary"};
  }
  if (address / kBlockSize >= kFlashBlocks) {
    return {.block = -1, .problem = "address " + std::string(text) + " is past the flash"};
  }
  return {.block = address / kBlockSize, .problem = {}};
}

// What a command is, judged by its letters and arguments alone: a write or
// read-back with a bad address or data, or a handshake or run command with
// other arguments, is a command the device does not carry out.
struct Recognised {
  CommandKind kind = CommandKind::Other;
  int block = -1;       // of a write or read-back
  std::string problem;  // why the device does not carry it out
};

Recognised Recognise(std::string_view args) {
  const std::string_view letters = args.substr(0, 2);
  const std::string_view rest = args.substr(letters.size());
  if (letters == "Zx") {
    return args == kHandshakeArgs
               ? Recognised{.kind = CommandKind::Handshake, .block = -1, .problem = {}}
               : Recognised{.kind = CommandKind::Other,
                            .block = -1,
                            .problem = "handshake with unknown arguments"};
  }
  if (letters == "Zp") {
    if (rest.size() != kAddressLength + kDataLength) {
      return {
          .kind = CommandKind::Other,
          .block = -1,
          .problem = "write of " + std::to_string(rest.size()) + " argument characters, not 1028"};
    }
    const BlockAddress address = ParseAddress(rest.substr(0, kAddressLength));
    if (address.block < 0) {
      return {
          .kind = CommandKind::Other, .block = -1, .problem = "write refused: " + address.problem};
    }
    if (!IsUpperHex(rest.substr(kAddressLength))) {
      return {.kind = CommandKind::Other,
              .block = -1,
              .problem = "write refused: data is not 1024 uppercase hex digits"};
    }
    return {.kind = CommandKind::Write, .block = address.block, .problem = {}};
  }
  if (letters == "Zv") {
    const BlockAddress address = ParseAddress(rest);
    if (address.block < 0) {
      return {.kind = CommandKind::Other,
              .block = -1,
              .problem = "read-back refused: " + address.problem};
    }
    return {.kind = CommandKind::Verify, .block = address.block, .problem = {}};
  }
  if (letters == "Zr") {
    return args == kRunArgs ? Recognised{.kind = CommandKind::Run, .block = -1, .problem = {}}
                            : Recognised{.kind = CommandKind::Other,
                                         .block = -1,
                                         .problem = "run command with unknown arguments"};
  }
  return {.kind = CommandKind::Other, .block = -1, .problem = "unknown command"};
}

void Flip(std::span<std::uint8_t> block, const BitFlip& flip) {
  block[static_cast<std::size_t>(flip.byte)] ^= static_cast<std::uint8_t>(1U << flip.bit);
}

}  // namespace

Device::Device(const DeviceConfig& device, const FaultConfig& faults)
    : deviceId_(device.deviceId),
      deviceInfo_(device.deviceInfo),
      faults_(faults),
      flash_(kFlashSize, 0xFF) {
  deviceInfo_.resize(kDeviceInfoLength, ' ');
  std::copy_n(device.initialFlash.begin(), std::min(device.initialFlash.size(), kFlashSize),
              flash_.begin());
}

std::optional<CommandKind> Device::Classify(std::string_view payload) const {
  if (payload.substr(0, kDeviceIdLength) != deviceId_) {
    return std::nullopt;
  }
  return Recognise(payload.substr(kDeviceIdLength)).kind;
}

std::optional<Answer> Device::Handle(std::string_view payload) {
  if (payload.substr(0, kDeviceIdLength) != deviceId_) {
    return std::nullopt;
  }
  const std::string_view args = payload.substr(kDeviceIdLength);
  Recognised recognised = Recognise(args);
  const CommandRef command = Number(recognised.kind);
  switch (recognised.kind) {
    case CommandKind::Handshake:
      return Handshake(command);
    case CommandKind::Write:
      return Write(command, recognised.block, args.substr(2, kAddressLength),
                   args.substr(2 + kAddressLength));
    case CommandKind::Verify:
      return Verify(command, recognised.block);
    case CommandKind::Run:
      return Answer{.command = command,
                    .body = deviceId_ + "Zr",
                    .startsReboot = true,
                    .note = "run: acknowledged, rebooting"};
    case CommandKind::Other:
      break;
  }
  return Refuse(command, std::move(recognised.problem));
}

CommandRef Device::Number(CommandKind kind) {
  return CommandRef{.kind = kind,
                    .number = ++commandCount_,
                    .kindNumber = ++kindCounts_[static_cast<std::size_t>(kind)]};
}

Answer Device::Refuse(CommandRef command, std::string note) {
  return Answer{
      .command = command, .body = std::nullopt, .startsReboot = false, .note = std::move(note)};
}

Answer Device::Handshake(CommandRef command) {
  std::string body = deviceId_ + "Zx" + deviceInfo_;
  // The frame adds 7 bytes to the body; a length fault cuts or pads the body.
  body.resize(static_cast<std::size_t>(faults_.handshakeFrameLength) - link::kFrameOverhead, ' ');
  return Answer{
      .command = command, .body = std::move(body), .startsReboot = false, .note = "handshake"};
}

Answer Device::Write(CommandRef command, int block, std::string_view addressText,
                     std::string_view data) {
  const int tryNumber = ++writeTries_[static_cast<std::size_t>(block)];
  for (const auto& refusal : faults_.refusedWrites) {
    if (refusal.block == block && tryNumber <= refusal.tries) {
      return Refuse(command, "write of block " + std::to_string(block) + " refused (try " +
                                 std::to_string(tryNumber) + " of " +
                                 std::to_string(refusal.tries) + " refused)");
    }
  }

  const auto stored =
      std::span(flash_).subspan(static_cast<std::size_t>(block) * kBlockSize, kBlockSize);
  link::DecodeUpperHex(data, stored);
  std::string note = "write of block " + std::to_string(block) + ": stored";
  for (const auto& flip : faults_.storedBitFlips) {
    if (flip.block == block) {
      Flip(stored, flip);
      note +=
          ", byte " + std::to_string(flip.byte) + " bit " + std::to_string(flip.bit) + " flipped";
    }
  }
  return Answer{.command = command,
                .body = deviceId_ + "Zp" + std::string(addressText),
                .startsReboot = false,
                .note = std::move(note)};
}

Answer Device::Verify(CommandRef command, int block) {
  return Answer{.command = command,
                .body = deviceId_ + "Zv" + BlockText(block),
                .startsReboot = false,
                .note = "read-back of block " + std::to_string(block)};
}

std::string Device::BlockText(int block) const {
  std::vector<std::uint8_t> bytes(flash_.begin() + block * kBlockSize,
                                  flash_.begin() + (block + 1) * kBlockSize);
  for (const auto& flip : faults_.readbackBitFlips) {
    if (flip.block == block) {
      Flip(bytes, flip);
    }
  }
  std::string text;
  text.reserve(kDataLength);
  for (const std::uint8_t b : bytes) {
    link::AppendHexByte(text, b);
  }
  if (faults_.lowercaseReadback) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) {
      return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
  }
  return text;
}

}  // namespace ql::sim
