// The device's end of the link: a TCP port that takes one connection at a
// time, or the master side of a pseudo-terminal. Everything here is
// non-blocking; the emulator waits on the file descriptors it names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sim/sim_config.h"

namespace ql::sim {

enum class InputEvent {
  Nothing,     // nothing to read after all
  Data,        // bytes were read
  Connected,   // a utility connected or opened the port
  PeerClosed,  // the utility went away; the endpoint is ready for the next one
};

struct InputResult {
  InputEvent event = InputEvent::Nothing;
  std::size_t count = 0;  // bytes read, for Data
  std::string detail;     // who connected, why the peer is gone
};

enum class OutputStatus {
  Written,     // `count` bytes were taken (possibly fewer than offered)
  WouldBlock,  // the link takes nothing now; wait until OutputFd is writable
  Discarded,   // nobody is listening; the bytes are lost, as on an idle line
  PeerGone,    // the connection broke
};

struct OutputResult {
  OutputStatus status = OutputStatus::Written;
  std::size_t count = 0;
};

class Endpoint {
 public:
  virtual ~Endpoint() = default;

  // The descriptor to wait on for input: the connection or the master, or
  // the listening socket while no utility is connected.
  virtual int InputFd() const = 0;

  // Called when InputFd is readable.
  virtual InputResult Read(std::span<std::uint8_t> into) = 0;

  // A descriptor that becomes readable when a utility opens or closes the
  // link other than through InputFd (the pseudo-terminal's slave), or -1.
  virtual int EventFd() const { return -1; }

  // Called when EventFd is readable: the Connected and PeerClosed events.
  virtual std::vector<InputResult> ReadEvents() { return {}; }

  // The descriptor to wait on when a write would block; -1 when none.
  virtual int OutputFd() const = 0;

  virtual OutputResult Write(std::span<const std::uint8_t> bytes) = 0;

  // Whether what was written has been taken by the utility, so a hang-up now
  // loses none of it. A TCP connection delivers its data before it closes.
  virtual bool Delivered() const { return true; }

  // Drops the utility: closes the connection, or hangs the pseudo-terminal
  // up and serves a new one in its place. False when no new one could be made.
  virtual bool HangUp(std::string& error) = 0;

  // The line the program prints for it: "listening 127.0.0.1:40123" or
  // "pty /dev/pts/3".
  virtual std::string Describe() const = 0;

  // The bound TCP port, or 0.
  virtual std::uint16_t Port() const { return 0; }

  // The pseudo-terminal's slave, or empty.
  virtual std::string SlavePath() const { return {}; }
};

// Binds the TCP port or creates the pseudo-terminal (and its symlink).
// nullptr with `error` set when that fails.
std::unique_ptr<Endpoint> OpenEndpoint(const LinkConfig& config, std::string& error);

std::unique_ptr<Endpoint> OpenTcpEndpoint(const LinkConfig& config, std::string& error);
std::unique_ptr<Endpoint> OpenPtyEndpoint(const LinkConfig& config, std::string& error);

}  // namespace ql::sim
