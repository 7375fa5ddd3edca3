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
#include "link/serial_transport.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "link/errno_text.h"
#include "link/poll_wait_posix.h"
#include "link/serial_port_posix.h"
#include "link/serial_reply_wait.h"
#include "link/uucp_lock.h"

namespace ql::link {
namespace {

// Why a port may not be opened, and how the user gets access: on Debian the
// serial ports belong to the group dialout, whose members may use them.
std::string PermissionHint(const struct stat& node) {
  const bool groupMayUse = (node.st_mode & S_IRGRP) != 0 && (node.st_mode & S_IWGRP) != 0;
  std::vector<char> buffer(16384);
  struct group entry {};
  struct group* found = nullptr;
  if (groupMayUse && node.st_gid != 0 &&
      ::getgrgid_r(node.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->gr_name != nullptr && *found->gr_name != '\0') {
    const std::string group = found->gr_name;
    return ErrnoText(EACCES) + ": the port belongs to the group " + group +
           ", whose members may use it (sudo adduser $USER " + group + ", then log in again)";
  }
  return ErrnoText(EACCES) +
         ": only the port's owner may use it; serial ports on Debian belong to the group "
         "dialout, whose members may use them (sudo adduser $USER dialout, then log in again)";
}

struct Speed {
  std::uint32_t baud;
  speed_t code;
};

constexpr std::array kSpeeds{
    Speed{50, B50},           Speed{75, B75},           Speed{110, B110},
    Speed{134, B134},         Speed{150, B150},         Speed{200, B200},
    Speed{300, B300},         Speed{600, B600},         Speed{1200, B1200},
    Speed{1800, B1800},       Speed{2400, B2400},       Speed{4800, B4800},
    Speed{9600, B9600},       Speed{19200, B19200},     Speed{38400, B38400},
    Speed{57600, B57600},     Speed{115200, B115200},   Speed{230400, B230400},
    Speed{460800, B460800},   Speed{500000, B500000},   Speed{576000, B576000},
    Speed{921600, B921600},   Speed{1000000, B1000000}, Speed{1152000, B1152000},
    Speed{1500000, B1500000}, Speed{2000000, B2000000}, Speed{2500000, B2500000},
    Speed{3000000, B3000000}, Speed{3500000, B3500000}, Speed{4000000, B4000000},
};

std::optional<speed_t> SpeedCode(std::uint32_t baud) {
  for (const Speed& s : kSpeeds) {
    if (s.baud == baud) {
      return s.code;
    }
  }
  return std::nullopt;
}

std::uint32_t BaudOf(speed_t code) {
  for (const Speed& s : kSpeeds) {
    if (s.code == code) {
      return s.baud;
    }
  }
  return 9600;
}

// Raw bytes: the frames carry CR and control bytes that must reach the other
// side unchanged, and nothing may be echoed back to the device. The
// character format (c_cflag) is left alone here.
void MakeRaw(termios& tio) {
  tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag |= CLOCAL | CREAD;
  // Reads never block in the driver: every wait is a poll() with its own
  // time-out.
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
}

// Switches the driver's low-latency mode on. True only when it was off and
// is now on, so that Close puts back exactly what was found. Drivers without
// the setting refuse TIOCGSERIAL and are left alone.
bool SwitchLowLatencyOn(int fd) {
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0) {
    return false;
  }
  serial.flags |= ASYNC_LOW_LATENCY;
  return ::ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

void SwitchLowLatencyOff(int fd) {
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
    serial.flags &= ~ASYNC_LOW_LATENCY;
    ::ioctl(fd, TIOCSSERIAL, &serial);
  }
}

class SerialTransport final : public Transport {
 public:
  // nullptr when the port does not exist, is not a terminal, or is in use:
  // its lock file in `lockFolder` names a live process, or another copy of
  // this utility has it, or (for users other than root) any program holds
  // it exclusively. A lock folder that is missing or not writable does not
  // stop the open; the port is then used without a lock file.
  // `why` (when given) then says which, with the system's text.
  static std::unique_ptr<SerialTransport> Open(std::string_view portName,
                                               std::string_view lineSettings, std::string* why,
                                               std::string_view lockFolder, LineSettingsUse use);

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

}  // namespace

std::chrono::nanoseconds CharacterTimeOf(const termios& tio) {
  int dataBits = 8;
  switch (tio.c_cflag & CSIZE) {
    case CS5:
      dataBits = 5;
      break;
    case CS6:
      dataBits = 6;
      break;
    case CS7:
      dataBits = 7;
      break;
    default:
      break;
  }
  const double parityBits = (tio.c_cflag & PARENB) != 0 ? 1 : 0;
  double stopBits = 1;
  if ((tio.c_cflag & CSTOPB) != 0) {
    stopBits = dataBits == 5 ? 1.5 : 2;
  }
  return CharacterTimeAt(BaudOf(cfgetospeed(&tio)), 1 + dataBits + parityBits + stopBits);
}

std::string SerialDevicePath(std::string_view portName) {
  if (portName.size() > 3 && (portName[0] == 'C' || portName[0] == 'c') &&
      (portName[1] == 'O' || portName[1] == 'o') && (portName[2] == 'M' || portName[2] == 'm')) {
    const std::string_view digits = portName.substr(3);
    unsigned long number = 0;
    bool allDigits = digits.size() <= 6 && digits[0] != '0';
    for (const char c : digits) {
      allDigits = allDigits && c >= '0' && c <= '9';
      number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    if (allDigits && number >= 1) {
      return "/dev/ttyS" + std::to_string(number - 1);
    }
  }
  return std::string(portName);
}

std::string SerialPortIdentity(std::string_view portName) {
  namespace fs = std::filesystem;
  const fs::path path(SerialDevicePath(portName));
  std::error_code error;
  fs::path real = fs::canonical(path, error);
  if (error) {
    real = fs::absolute(path, error).lexically_normal();
  }
  return real.string();
}

bool ApplyLineSettings(const LineSettings& settings, termios& tio) {
  const auto code = SpeedCode(settings.baud);
  if (!code) {
    return false;
  }
  termios next = tio;
  cfsetispeed(&next, *code);
  cfsetospeed(&next, *code);
  if (settings.parity) {
    next.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
    next.c_iflag &= ~static_cast<tcflag_t>(INPCK);
    switch (*settings.parity) {
      case Parity::None:
        break;
      case Parity::Even:
        next.c_cflag |= PARENB;
        break;
      case Parity::Odd:
        next.c_cflag |= PARENB | PARODD;
        break;
      case Parity::Mark:
        next.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
      case Parity::Space:
        next.c_cflag |= PARENB | CMSPAR;
        break;
    }
    if (*settings.parity != Parity::None) {
      next.c_iflag |= INPCK;
    }
  }
  if (settings.dataBits) {
    next.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    constexpr std::array<tcflag_t, 4> kSizes{CS5, CS6, CS7, CS8};
    next.c_cflag |= kSizes[static_cast<std::size_t>(*settings.dataBits - 5)];
  }
  if (settings.stopBits) {
    // The UART sends 1.5 stop bits for 5-bit characters when asked for two.
    if (*settings.stopBits == StopBits::One) {
      next.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    } else {
      next.c_cflag |= CSTOPB;
    }
  }
  // A settings text names no handshake, so there is none.
  next.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  next.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio = next;
  return true;
}

std::unique_ptr<SerialTransport> SerialTransport::Open(std::string_view portName,
                                                       std::string_view lineSettings,
                                                       std::string* why,
                                                       std::string_view lockFolder,
                                                       LineSettingsUse use) {
  const auto fail = [why](std::string reason) {
    if (why != nullptr) {
      *why = std::move(reason);
    }
    return nullptr;
  };
  const std::string path = SerialDevicePath(portName);
  if (path.empty() || path.find('\0') != std::string::npos) {
    return fail("not a port name");
  }
  // Only a terminal device is a port; anything else is refused before a lock
  // file is written for it.
  struct stat node {};
  if (::stat(path.c_str(), &node) != 0) {
    return fail(ErrnoText(errno));
  }
  if (!S_ISCHR(node.st_mode)) {
    return fail("not a serial port");
  }
  // The lock file comes first: a port that another program holds is not
  // even opened, since opening a port can already change its modem lines.
  // It is named after the device itself, so every link to it gives the
  // same lock.
  std::error_code error;
  const std::filesystem::path device = std::filesystem::canonical(path, error);
  if (error) {
    return fail(ErrnoText(error.value()));
  }
  std::optional<UucpLock> lock = UucpLock::Take(lockFolder, UucpLockName(device.string()));
  if (!lock) {
    return fail("in use by another program (lock file " +
                (std::filesystem::path(lockFolder) / UucpLockName(device.string())).string() + ")");
  }
  // O_NONBLOCK: opening must not wait for a modem's carrier.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int failure = errno;
    return fail(failure == EACCES ? PermissionHint(node) : ErrnoText(failure));
  }
  termios found{};
  const bool terminal = ::isatty(fd) && ::tcgetattr(fd, &found) == 0;
  const bool locked = terminal && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (!locked) {
    const int failure = errno;
    ::close(fd);
    return fail(!terminal                ? "not a serial port"
                : failure == EWOULDBLOCK ? "in use by another program"
                                         : ErrnoText(failure));
  }
  ::ioctl(fd, TIOCEXCL);

  termios raw = found;
  MakeRaw(raw);
  termios withLine = raw;
  const auto parsed = ParseLineSettings(lineSettings);
  // Why the port does not run at the rate asked; and whether the port's own
  // settings stay, as they do for a text the port does not take as a whole.
  std::string refused;
  bool taken = false;
  if (!parsed || !ApplyLineSettings(*parsed, withLine)) {
    refused = UnusableLineSettings(parsed);
  } else {
    // The C library reports a parity the driver drops as an error, as every
    // pseudo-terminal does; the rate may still have been set.
    taken = ::tcsetattr(fd, TCSANOW, &withLine) == 0;
    const int failure = errno;
    termios now{};
    refused = ::tcgetattr(fd, &now) == 0 ? LineRefusal(withLine, now) : ErrnoText(errno);
    if (!refused.empty() && !taken) {
      refused = ErrnoText(failure);
    }
  }
  if (!refused.empty() && use == LineSettingsUse::Exactly) {
    ::tcsetattr(fd, TCSANOW, &found);
    ::close(fd);
    return fail("the port refuses " + std::string(lineSettings) + ": " + refused);
  }
  if (!taken && use == LineSettingsUse::PortsOwnIfRefused) {
    ::tcsetattr(fd, TCSANOW, &raw);
  }
  ::tcflush(fd, TCOFLUSH);
  ::tcflush(fd, TCIFLUSH);
  auto transport = std::unique_ptr<SerialTransport>(
      new SerialTransport(fd, found.c_cc[VMIN], found.c_cc[VTIME]));
  // The reply wait needs the character time of what the port really runs at.
  termios now{};
  transport->characterTime_ = CharacterTimeOf(::tcgetattr(fd, &now) == 0 ? now : raw);
  transport->lowLatencySet_ = SwitchLowLatencyOn(fd);
  transport->lock_ = std::move(*lock);
  transport->devicePath_ = device.string();
  transport->deviceNumber_ = node.st_rdev;
  return transport;
}

SerialTransport::SerialTransport(int fd, cc_t savedVmin, cc_t savedVtime)
    : fd_(fd), savedVmin_(savedVmin), savedVtime_(savedVtime) {}

SerialTransport::~SerialTransport() {
  Close();
}

void SerialTransport::Close() {
  if (fd_ < 0) {
    return;
  }
  termios tio{};
  if (::tcgetattr(fd_, &tio) == 0) {
    tio.c_cc[VMIN] = savedVmin_;
    tio.c_cc[VTIME] = savedVtime_;
    ::tcsetattr(fd_, TCSANOW, &tio);
  }
  if (lowLatencySet_) {
    SwitchLowLatencyOff(fd_);
    lowLatencySet_ = false;
  }
  ::ioctl(fd_, TIOCNXCL);
  ::close(fd_);
  fd_ = -1;
  // Only once the port is closed may another program take it.
  lock_.Release();
  inputBegin_ = inputEnd_ = 0;
}

WriteResult SerialTransport::Write(std::span<const std::uint8_t> bytes) {
  if (!goneReason_.empty()) {
    return WriteResult::Gone;
  }
  if (fd_ < 0) {
    return WriteResult::NotSent;
  }
  termios tio{};
  const std::uint32_t baud = ::tcgetattr(fd_, &tio) == 0 ? BaudOf(cfgetospeed(&tio)) : 9600;
  // Up to 12 bits a character (start, 8 data, parity, 2 stop); allow twice
  // that and a second more before calling the line blocked.
  const auto lineTime = std::chrono::milliseconds(std::uint64_t{bytes.size()} * 12 * 1000 / baud);
  const Deadline deadline(2 * lineTime + std::chrono::seconds(1));

  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + sent, bytes.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno != EAGAIN) {
      // EIO on a hung-up line, ENXIO or ENODEV once the adapter is gone.
      MarkGone(ErrnoText(errno));
      return WriteResult::Gone;
    }
    if (PollFor(fd_, POLLOUT, deadline) == 0) {
      return WriteResult::NotSent;
    }
  }

  // Wait until the driver has sent what it holds, sleeping for about the time
  // the rest needs at the line's speed.
  while (true) {
    int queued = 0;
    if (::ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0 || deadline.Passed()) {
      return WriteResult::Sent;
    }
    const auto rest = std::chrono::microseconds(std::uint64_t(queued) * 12 * 1'000'000 / baud);
    std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(
        std::max(rest, std::chrono::microseconds(500)), deadline.Left()));
  }
}

bool SerialTransport::InputWaiting() {
  if (inputBegin_ < inputEnd_) {
    return true;
  }
  int queued = 0;
  return fd_ >= 0 && ::ioctl(fd_, FIONREAD, &queued) == 0 && queued > 0;
}

ReadResult SerialTransport::Read(std::span<std::uint8_t> into, std::chrono::microseconds wait) {
  auto handOut = [this, into] {
    const std::size_t count = std::min(into.size(), inputEnd_ - inputBegin_);
    std::copy_n(input_.begin() + static_cast<std::ptrdiff_t>(inputBegin_), count, into.begin());
    inputBegin_ += count;
    return ReadResult{.count = count};
  };
  if (inputBegin_ < inputEnd_ && !into.empty()) {
    return handOut();
  }
  if (!goneReason_.empty()) {
    return ReadResult{.gone = true};
  }
  const Deadline deadline(wait);
  if (fd_ < 0 || into.empty()) {
    deadline.SleepOut();
    return {};
  }
  while (true) {
    const short events = PollFor(fd_, POLLIN, deadline);
    if (events == 0) {
      // Nothing came. A removed adapter normally hangs its port up as well;
      // its device node gone tells the same where a driver does not.
      if (NodeRemoved()) {
        MarkGone("the port was removed");
        return ReadResult{.gone = true};
      }
      return {};
    }
    const ssize_t n = ::read(fd_, input_.data(), input_.size());
    if (n > 0) {
      inputBegin_ = 0;
      inputEnd_ = static_cast<std::size_t>(n);
      return handOut();
    }
    const bool hungUp = (events & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    if (n < 0 && errno != EINTR && errno != EAGAIN) {
      MarkGone(hungUp && errno == EIO ? HangUpReason() : ErrnoText(errno));
      return ReadResult{.gone = true};
    }
    // The descriptor never blocks, and without a byte a read gives 0 (or
    // EAGAIN): after a hang-up that is all it will ever give.
    if (hungUp) {
      MarkGone(HangUpReason());
      return ReadResult{.gone = true};
    }
  }
}

void SerialTransport::MarkGone(std::string reason) {
  if (goneReason_.empty()) {
    goneReason_ = reason.empty() ? "the port is gone" : std::move(reason);
  }
}

std::string SerialTransport::HangUpReason() const {
  return NodeRemoved() ? "the port was removed" : "the port hung up";
}

bool SerialTransport::NodeRemoved() const {
  return !devicePath_.empty() && DeviceNodeRemoved(devicePath_, deviceNumber_);
}

bool DeviceNodeRemoved(const std::string& path, dev_t device) {
  struct stat node {};
  if (::stat(path.c_str(), &node) != 0) {
    return errno == ENOENT || errno == ENOTDIR;
  }
  return !S_ISCHR(node.st_mode) || node.st_rdev != device;
}

std::string LineRefusal(const termios& asked, const termios& inForce) {
  const speed_t code = cfgetospeed(&inForce);
  if (code == cfgetospeed(&asked)) {
    return {};
  }
  const bool known = std::any_of(kSpeeds.begin(), kSpeeds.end(),
                                 [code](const Speed& s) { return s.code == code; });
  return known ? "it runs at " + std::to_string(BaudOf(code)) + " baud"
               : "it runs at another speed";
}

bool LineSettingsApplicable(const LineSettings& settings) {
  termios probe{};
  return ApplyLineSettings(settings, probe);
}

std::unique_ptr<Transport> OpenSerialTransport(std::string_view portName,
                                               std::string_view lineSettings, std::string* why,
                                               std::string_view lockFolder, LineSettingsUse use) {
  return SerialTransport::Open(portName, lineSettings, why, lockFolder, use);
}

std::unique_ptr<Transport> OpenSerialTransport(std::string_view portName,
                                               std::string_view lineSettings, std::string* why,
                                               LineSettingsUse use) {
  return SerialTransport::Open(portName, lineSettings, why, kLockFolder, use);
}

}  // namespace ql::link
