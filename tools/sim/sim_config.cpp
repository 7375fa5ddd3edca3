// Selector matching, line pacing and the checks on a configuration.
#include "sim/sim_config.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>

#include "link/frame.h"

namespace ql::sim {
namespace {

bool Printable(char c) {
  return c >= 0x20 && c <= 0x7E;
}

bool AllPrintable(const std::string& text) {
  return std::all_of(text.begin(), text.end(), Printable);
}

std::string CheckBlock(int block, const char* what) {
  if (block < 0 || block >= kFlashBlocks) {
    return std::string(what) + ": block " + std::to_string(block) + " is outside the flash (0 to " +
           std::to_string(kFlashBlocks - 1) + ")";
  }
  return {};
}

std::string CheckBitFlip(const BitFlip& flip, const char* what) {
  if (auto error = CheckBlock(flip.block, what); !error.empty()) {
    return error;
  }
  if (flip.byte < 0 || flip.byte >= kBlockSize) {
    return std::string(what) + ": byte " + std::to_string(flip.byte) +
           " is outside a block (0 to 511)";
  }
  if (flip.bit < 0 || flip.bit > 7) {
    return std::string(what) + ": bit " + std::to_string(flip.bit) + " is not 0 to 7";
  }
  return {};
}

std::string ValidateDevice(const DeviceConfig& device) {
  if (device.deviceId.size() != kDeviceIdLength || !AllPrintable(device.deviceId)) {
    return "the device ID must be 4 printable characters, like 0001";
  }
  if (device.deviceInfo.size() > kDeviceInfoLength || !AllPrintable(device.deviceInfo)) {
    return "the device information must be at most 16 printable characters";
  }
  if (device.rebootSilence.count() < 0) {
    return "the reboot silence cannot be negative";
  }
  if (device.initialFlash.size() > kFlashSize) {
    return "the flash image is " + std::to_string(device.initialFlash.size()) +
           " bytes; the flash holds " + std::to_string(kFlashSize);
  }
  return {};
}

std::string ValidateFaults(const FaultConfig& faults) {
  if (faults.handshakeFrameLength < static_cast<int>(link::kFrameOverhead) ||
      faults.handshakeFrameLength >= static_cast<int>(link::kFrameBufferSize)) {
    return "the handshake reply length must be 7 to 1499 bytes";
  }
  if (faults.noise.find('\x03') != std::string::npos) {
    return "the noise cannot hold the reply start byte 0x03";
  }
  if (faults.glitchByte == link::kReplyStart) {
    return "the glitch byte cannot be the reply start byte 0x03";
  }
  if (faults.replyLatency.count() < 0) {
    return "the reply latency cannot be negative";
  }
  for (const auto& pause : faults.replyPauses) {
    if (pause.hold.count() < 0) {
      return "a pause inside a reply cannot be negative";
    }
  }
  for (const auto& late : faults.lateReply) {
    if (late.delay.count() < 0) {
      return "a reply delay cannot be negative";
    }
  }
  for (const auto& flip : faults.storedBitFlips) {
    if (auto error = CheckBitFlip(flip, "stored bit flip"); !error.empty()) {
      return error;
    }
  }
  for (const auto& flip : faults.readbackBitFlips) {
    if (auto error = CheckBitFlip(flip, "read-back bit flip"); !error.empty()) {
      return error;
    }
  }
  for (const auto& refusal : faults.refusedWrites) {
    if (auto error = CheckBlock(refusal.block, "refused write"); !error.empty()) {
      return error;
    }
    if (refusal.tries < 0) {
      return "refused write: the number of tries cannot be negative";
    }
  }
  if (faults.pacing.Enabled() &&
      (faults.pacing.bitsPerByte < 7.0 || faults.pacing.bitsPerByte > 12.0)) {
    return "line framing must give 7 to 12 bits a byte";
  }
  return {};
}

}  // namespace

const char* KindName(CommandKind kind) {
  switch (kind) {
    case CommandKind::Handshake:
      return "handshake";
    case CommandKind::Write:
      return "write";
    case CommandKind::Verify:
      return "verify";
    case CommandKind::Run:
      return "run";
    case CommandKind::Other:
      break;
  }
  return "other";
}

bool CommandSelector::Matches(const CommandRef& command) const {
  if (kind && *kind != command.kind) {
    return false;
  }
  const std::size_t count = kind ? command.kindNumber : command.number;
  return nth == 0 || nth == count;
}

std::chrono::nanoseconds LinePacing::ByteTime() const {
  if (!Enabled()) {
    return std::chrono::nanoseconds{0};
  }
  return std::chrono::nanoseconds{std::llround(bitsPerByte * 1e9 / baud)};
}

std::string Validate(const SimConfig& config) {
  if (auto error = ValidateDevice(config.device); !error.empty()) {
    return error;
  }
  if (auto error = ValidateFaults(config.faults); !error.empty()) {
    return error;
  }
  if (config.link.type == LinkType::Tcp) {
    in_addr address{};
    if (inet_pton(AF_INET, config.link.address.c_str(), &address) != 1) {
      return "'" + config.link.address + "' is not an IPv4 address";
    }
  }
  return {};
}

}  // namespace ql::sim
