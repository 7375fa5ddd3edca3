// What the emulated device is, how it is reached, and which faults it shows.
// The program fills this from its command line; tests fill it directly.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ql::sim {

inline constexpr int kBlockSize = 512;
inline constexpr int kFlashBlocks = 124;
inline constexpr std::size_t kFlashSize = std::size_t{kBlockSize} * kFlashBlocks;

inline constexpr std::size_t kDeviceIdLength = 4;
inline constexpr std::size_t kDeviceInfoLength = 16;
inline constexpr int kHandshakeFrameLength = 29;

// The commands the device knows. Other is every command it does not carry
// out: unknown letters, or a known command with malformed arguments.
enum class CommandKind { Handshake, Write, Verify, Run, Other };

const char* KindName(CommandKind kind);

// A command as the device numbered it: `number` counts every command
// addressed to this device (1, 2, ...), `kindNumber` the commands of its kind.
struct CommandRef {
  CommandKind kind = CommandKind::Other;
  std::size_t number = 0;
  std::size_t kindNumber = 0;
};

// Picks the commands a fault applies to: the nth command (of a kind, when one
// is given), or every command (of that kind) when nth is 0.
struct CommandSelector {
  std::optional<CommandKind> kind;
  std::size_t nth = 0;

  bool Matches(const CommandRef& command) const;
};

struct LateReply {
  CommandSelector when;
  std::chrono::milliseconds delay{0};
};

// A reply held up part way: byte `at` of the reply frame (0: its start byte;
// past the frame: its last byte) and every byte after it go out `hold` later
// than the line would send them, as when a pseudo-terminal's kernel
// hand-over, a USB adapter's frames or a busy host put a pause into a reply
// that the device sent back to back. Without `at`, the middle of the frame.
struct ReplyPause {
  CommandSelector when;
  std::chrono::microseconds hold{0};
  std::optional<std::size_t> at;
};

// One bit of one block: byte 0..511 of the block, bit 0 (least significant)..7.
struct BitFlip {
  int block = 0;
  int byte = 0;
  int bit = 0;
};

// The first `tries` well-formed writes of `block` get no reply and store nothing.
struct WriteRefusal {
  int block = 0;
  int tries = 0;
};

// Paces reply bytes as a serial line would: each byte takes bitsPerByte bit
// times (115200 baud 8E1: 11 bits, about 95.5 us a byte). Off when baud is 0.
// With `requests`, a request is also taken only once its own wire time has
// passed since its first byte came in. On a real line the utility's write
// lasts that long before its reply window starts; here the write returns at
// once, so that time falls inside the window, and long requests at low
// rates miss it.
struct LinePacing {
  std::uint32_t baud = 0;
  double bitsPerByte = 10.0;
  bool requests = false;

  bool Enabled() const { return baud > 0; }
  std::chrono::nanoseconds ByteTime() const;
};

// Random faults on read-back replies: each reply, with a chance of
// `perMille` in 1000, is lost, late, sent twice, sent without its CR, sent
// with noise before it or with a wrong CRC, drawn afresh for every command
// from `seed` and the command's number, so a run can be repeated.
struct RandomFaults {
  unsigned perMille = 0;
  std::uint64_t seed = 1;

  bool Enabled() const { return perMille > 0; }
};

struct FaultConfig {
  // The command is carried out, but its reply is lost.
  std::vector<CommandSelector> dropReply;
  // The reply goes out `delay` after the command; the device answers nothing
  // else meanwhile, so later replies queue behind it.
  std::vector<LateReply> lateReply;
  // The reply carries CRC characters that do not match its bytes.
  std::vector<CommandSelector> corruptCrc;
  // The reply carries its CRC in lowercase hexadecimal. A CRC made of digits
  // only reads the same either way.
  std::vector<CommandSelector> lowercaseCrc;
  // The reply frame goes out twice, back to back.
  std::vector<CommandSelector> duplicateReply;
  // The reply frame goes out without its last byte, the CR.
  std::vector<CommandSelector> dropLastByte;
  // `noise` goes out just before the reply frame.
  std::vector<CommandSelector> noiseBefore;
  std::string noise = "~?\x7F\xFF noise\r\n";
  // The request frame goes back on the link exactly as it came, ahead of
  // the reply, as a half-duplex RS-485 adapter echoes what the host sends.
  // It goes as soon as the frame is in (after the link latency), ahead of a
  // reply still to come but never into the middle of one. A selector with
  // no kind and no number (all) echoes every frame, whatever its CRC or ID;
  // the others pick among this device's commands.
  std::vector<CommandSelector> echoRequest;
  // `glitchByte` goes out just before the reply frame, as a line puts a
  // stray character on the wire when its direction turns.
  std::vector<CommandSelector> glitchBefore;
  std::uint8_t glitchByte = 0x00;
  // A copy of the previous reply frame put on the link goes out just before
  // or just after the reply, as from a converter repeating what it passed.
  // Nothing is added while no reply has gone out yet.
  std::vector<CommandSelector> staleBefore;
  std::vector<CommandSelector> staleAfter;
  // The link's round trip: every reply (and echo) leaves this long after its
  // request came in, and never before the reply ahead of it, as through a
  // device server far away. A late reply is held this long and its delay.
  std::chrono::milliseconds replyLatency{0};
  std::vector<ReplyPause> replyPauses;
  // Length of the handshake reply frame (the device information is cut or
  // padded with blanks to fit); the utility accepts only 29.
  int handshakeFrameLength = kHandshakeFrameLength;
  // Flipped in the flash whenever the block is stored.
  std::vector<BitFlip> storedBitFlips;
  // Flipped only in the read-back reply; the flash holds the right data.
  std::vector<BitFlip> readbackBitFlips;
  // After the reply to command number N (counting every command), the
  // connection is closed or the pseudo-terminal hung up, once. 0: never.
  std::size_t hangUpAfterCommands = 0;
  std::vector<WriteRefusal> refusedWrites;
  RandomFaults random;
  // Read-back data in lowercase hexadecimal.
  bool lowercaseReadback = false;
  LinePacing pacing;
};

struct DeviceConfig {
  std::string deviceId = "0001";
  // Up to 16 printable characters; padded with blanks to 16.
  std::string deviceInfo = "QL480TX-V5";
  // How long the device stays silent after acknowledging the run command.
  std::chrono::milliseconds rebootSilence{3000};
  // Flash contents at start: up to kFlashSize bytes, the rest erased (0xFF).
  std::vector<std::uint8_t> initialFlash;
  // Where the flash is saved when the emulator stops and after every run
  // command; empty saves nothing.
  std::string flashOut;
};

enum class LinkType { Tcp, Pty };

struct LinkConfig {
  LinkType type = LinkType::Tcp;
  std::string address = "127.0.0.1";  // IPv4, dotted
  std::uint16_t port = 0;             // 0 picks a free port
  std::string ptyLink;                // pty only: symlink to the slave, if set
};

struct SimConfig {
  LinkConfig link;
  DeviceConfig device;
  FaultConfig faults;
};

// Empty when the configuration can be served; otherwise what is wrong, in a
// sentence for the user.
std::string Validate(const SimConfig& config);

}  // namespace ql::sim
