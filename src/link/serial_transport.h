// The serial link, through the POSIX terminal interface.
//
// Why not QSerialPort: it reads through socket notifiers, which need a thread
// started by QThread; the command-line program and the tests run procedures
// on plain std::threads, where it warns on every open and read. The termios
// path below is small and behaves the same from any thread:
//  - exclusive use, by three means, each stopping different programs:
//     1. the lock file LCK..<device> in /var/lock (uucp_lock.h), taken
//        before the port is opened and removed after it is closed: stops
//        the programs that honour these files (minicom, cu, picocom where
//        built to use them, other copies of this utility), whoever runs
//        them, root included; and their lock (also one written by Qt's
//        serial port, with its name and host after the process ID) stops
//        this open. A lock of a process that has ended is taken over.
//        Where the lock folder is missing or the user may not write there,
//        no file is written (a live lock there still refuses the open);
//     2. flock() on the device: stops other copies of this utility, root
//        included, even without a lock file, and a second open from this
//        process; other programs that flock() the device (picocom built that
//        way) are stopped too, while those that do not are not: it is only
//        advisory;
//     3. TIOCEXCL: the kernel refuses every further open() of the terminal,
//        by any program that ignores both locks (a plain open, cat, echo,
//        stty, a terminal program told not to lock), unless it runs as root
//        (CAP_SYS_ADMIN), which it does not stop.
//    Not stopped: a root program that ignores the lock file and flock();
//    a program that had the port open before this one without a lock file
//    (none of the three throws an earlier user out); a lock file under
//    another name of the same device, which only the device's own name
//    (links resolved) is checked against;
//  - raw bytes (no echo, no CR/NL translation, no software flow control);
//  - line settings from the settings text (see line_settings.h); a text that
//    cannot be read, or a baud rate the system has no speed for, leaves the
//    port's character format and speed as they were, and the open succeeds;
//  - both directions purged at open, output first;
//  - the read time-outs of the device (VMIN/VTIME) saved at open and put back
//    at close; the line settings are not put back;
//  - the driver's low-latency mode (ASYNC_LOW_LATENCY) switched on while the
//    link is open and put back at close as found: a USB adapter otherwise
//    holds received bytes for several milliseconds and hands them over in
//    bursts, whose gaps look like the quiet line that ends a reply wait.
//    Drivers without the setting (a pseudo-terminal) are left as they are;
//  - input taken from the driver in one read of whatever has arrived and
//    handed out from a small buffer: the exchange reads a reply one byte at
//    a time, and two system calls a byte leave a reader at 921600 baud so
//    little slack that, once behind (a busy machine), it never catches up.
//    What the buffer holds is what the port's input queue would hold, read
//    first by the next exchange; it is dropped at close.
#pragma once

#include <termios.h>

#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "link/line_settings.h"
#include "link/transport.h"
#include "link/uucp_lock.h"

namespace ql::link {

// The device to open for a port name: "COM1", "COM2", ... (any case) name
// /dev/ttyS0, /dev/ttyS1, ..., so Windows-style names keep working; any other
// name is used as it stands.
std::string SerialDevicePath(std::string_view portName);

// Writes `settings` into `tio`, also switching flow control off. False, with
// `tio` unchanged, when the system has no speed for the baud rate.
bool ApplyLineSettings(const LineSettings& settings, termios& tio);

// How long one character lasts with the format and output speed of `tio`:
// start bit, data bits, parity bit, stop bits (1.5 for 5 data bits with two
// asked for), over the baud rate.
std::chrono::nanoseconds CharacterTimeOf(const termios& tio);

class SerialTransport final : public Transport {
 public:
  // nullptr when the port does not exist, is not a terminal, or is in use:
  // its lock file in `lockFolder` names a live process, or another copy of
  // this utility has it, or (for users other than root) any program holds
  // it exclusively. A lock folder that is missing or not writable does not
  // stop the open; the port is then used without a lock file.
  // `why` (when given) then says which, with the system's text.
  static std::unique_ptr<SerialTransport> Open(std::string_view portName,
                                               std::string_view lineSettings,
                                               std::string* why = nullptr,
                                               std::string_view lockFolder = kLockFolder);

  ~SerialTransport() override;
  SerialTransport(const SerialTransport&) = delete;
  SerialTransport& operator=(const SerialTransport&) = delete;

  LinkKind Kind() const override { return LinkKind::Serial; }

  // Returns once the bytes have left the port (as a synchronous serial write
  // does), so the reply window starts when the device has the whole request.
  // NotSent when the line stays blocked for much longer than the bytes need
  // at the port's speed; Gone when the port fails (EIO, ENXIO: unplugged,
  // hung up).
  WriteResult Write(std::span<const std::uint8_t> bytes) override;

  // Hands out bytes already taken from the driver at once; otherwise waits
  // on the device for up to `wait`. A port that has gone away says so at
  // once: a hang-up (a pseudo-terminal whose other end closed, an unplugged
  // adapter), a read that fails, or its device node removed (looked at
  // after a wait that brought nothing).
  ReadResult Read(std::span<std::uint8_t> into, std::chrono::microseconds wait) override;

  std::string GoneReason() const override { return goneReason_; }

  // From the character format and speed the port had once open: the ones
  // the settings text named, or the port's previous ones when it named none
  // that could be applied.
  std::chrono::nanoseconds CharacterTime() const override { return characterTime_; }

  // Whether bytes are waiting: already taken from the driver, or in its
  // input queue.
  bool InputWaiting() override;

  void Close() override;

 private:
  SerialTransport(int fd, cc_t savedVmin, cc_t savedVtime);

  // Remembers why the port is gone; the first reason stands.
  void MarkGone(std::string reason);
  // Why a port that reported a hang-up is gone: removed, or hung up.
  std::string HangUpReason() const;
  // Whether the device node the port was opened through is no longer there,
  // or is another device now.
  bool NodeRemoved() const;

  int fd_;
  // The device itself (links resolved) and its device number, as opened.
  std::string devicePath_;
  dev_t deviceNumber_ = 0;
  std::string goneReason_;
  cc_t savedVmin_;
  cc_t savedVtime_;
  std::chrono::nanoseconds characterTime_{};
  // The driver's low-latency flag was off and this link switched it on.
  bool lowLatencySet_ = false;
  UucpLock lock_;
  // Bytes read from the driver and not yet handed out: [inputBegin_, inputEnd_).
  std::array<std::uint8_t, 4096> input_{};
  std::size_t inputBegin_ = 0;
  std::size_t inputEnd_ = 0;
};

}  // namespace ql::link
