// The emulated device itself: its flash and what it does with each command.
// No time and no I/O here; the emulator feeds it the payloads of request
// frames whose CRC was right and sends what it answers.
//
// Commands (ID is the device's 4-character ID):
//   ID Zx5E2D                   handshake: "ID Zx" + 16 characters of device information
//   ID Zp AAAA + 1024 hex       write the block at byte address AAAA: "ID Zp AAAA"
//   ID Zv AAAA                  read back the block at AAAA: "ID Zv" + its 1024 hex characters
//   ID ZrC71A                   run the firmware: "ID Zr", then the device reboots
// (shown with blanks for reading; the frames carry none). The six characters
// before the data of a reply are the ID and the command letters.
//
// A command the device cannot carry out gets no reply: unknown letters, a
// write or read-back whose address is not an uppercase 4-digit block boundary
// inside the flash, write data that is not exactly 1024 uppercase hex digits,
// or any other length. The protocol has no negative reply the utility would
// recognise (any frame with a right CRC counts as accepted), so silence is
// the only refusal that cannot be mistaken for success.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/sim_config.h"

namespace ql::sim {

// What the device does with one command addressed to it.
struct Answer {
  CommandRef command;
  std::optional<std::string> body;  // the reply body; nullopt: no reply
  bool startsReboot = false;        // the run command was acknowledged
  std::string note;                 // what was done or refused, for the log
};

class Device {
 public:
  // Uses the device settings and the faults that change what the device
  // stores or answers (bit flips, refused writes, lowercase read-back, the
  // handshake length).
  Device(const DeviceConfig& device, const FaultConfig& faults);

  // Carries out one request whose CRC was right. nullopt when the request is
  // addressed to another device ID; such requests are not numbered.
  std::optional<Answer> Handle(std::string_view payload);

  // The kind Handle will number `payload` as, without carrying it out;
  // nullopt when it is addressed to another device.
  std::optional<CommandKind> Classify(std::string_view payload) const;

  // Commands numbered so far, in all and of one kind.
  std::size_t Commands() const { return commandCount_; }
  std::size_t CommandsOf(CommandKind kind) const {
    return kindCounts_[static_cast<std::size_t>(kind)];
  }

  std::span<const std::uint8_t> Flash() const { return flash_; }

 private:
  Answer Refuse(CommandRef command, std::string note);
  CommandRef Number(CommandKind kind);
  Answer Handshake(CommandRef command);
  Answer Write(CommandRef command, int block, std::string_view addressText, std::string_view data);
  Answer Verify(CommandRef command, int block);
  std::string BlockText(int block) const;

  std::string deviceId_;
  std::string deviceInfo_;  // padded to 16
  FaultConfig faults_;
  std::vector<std::uint8_t> flash_;
  std::size_t commandCount_ = 0;
  std::array<std::size_t, 5> kindCounts_{};
  std::array<int, kFlashBlocks> writeTries_{};
};

}  // namespace ql::sim
