// The serial link on Windows, through the Win32 communications calls.
//
//  - the port is opened by its device name (COM1 ... as \\.\COM1, which
//    also reaches COM10 and above) with share mode 0: exclusive use, which
//    the system enforces for every other program;
//  - raw bytes, no handshake, and the line settings of the settings text
//    written into the port's state record (serial_port_win32.h); a text that
//    cannot be read, or a record the driver refuses, leaves the port's
//    character format and speed as they were, and the open succeeds;
//  - both directions purged at open, output first;
//  - the port's time-outs saved at open and put back at close; the line
//    settings are not put back;
//  - reads: what the driver has queued (ClearCommError says how much) is
//    read at once; with nothing queued one byte is waited for, with a total
//    time-out of the wait's remaining milliseconds. The time-out mode that
//    returns at once with whatever came is not used: Wine ignores it, and
//    every read then lasted its whole time-out;
//  - a write returns once the bytes have left the port (the driver's output
//    queue is empty), so the reply window starts when the device has the
//    whole request;
//  - the system's timer tick is raised to 1 ms while the link is open, so
//    the drivers' millisecond time-outs are not stretched to 15.6 ms.
#include <windows.h>
// After windows.h.
#include <timeapi.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <utility>

#include "link/serial_port_win32.h"
#include "link/serial_reply_wait.h"
#include "link/serial_transport.h"
#include "link/system_text_win32.h"
#include "link/wait.h"

namespace ql::link {
namespace {

// Up to 12 bits a character (start, 8 data, parity, 2 stop).
constexpr std::uint64_t kMostBitsPerCharacter = 12;

// The rates a port is set to: the same as on Linux, so a settings text means
// the same on both. A driver may take others, but a text naming one is not
// applied here either, and the port keeps its own rate.
constexpr std::array<std::uint32_t, 30> kRates{
    50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
    2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

// Whether a failed call means the port itself has gone: an unplugged USB
// adapter's driver fails every call on its open handle with one of these.
bool PortRemoved(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_INVALID_HANDLE:
      return true;
    default:
      return false;
  }
}

std::string GoneText(DWORD error) {
  return PortRemoved(error) ? "the port was removed" : SystemErrorText(error);
}

class SerialTransport final : public Transport {
 public:
  // nullptr when the port does not exist, is not a serial port, or is in
  // use; `why` (when given) then says which, with the system's text.
  static std::unique_ptr<SerialTransport> Open(std::string_view portName,
                                               std::string_view lineSettings, std::string* why,
                                               LineSettingsUse use);

  ~SerialTransport() override;
  SerialTransport(const SerialTransport&) = delete;
  SerialTransport& operator=(const SerialTransport&) = delete;

  LinkKind Kind() const override { return LinkKind::Serial; }

  // Returns once the bytes have left the port. NotSent when the line stays
  // blocked for much longer than the bytes need at the port's speed; Gone
  // when the port fails (unplugged, hung up).
  WriteResult Write(std::span<const std::uint8_t> bytes) override;

  // Hands out bytes already taken from the driver at once; otherwise waits
  // for up to `wait`, in whole milliseconds rounded up. A port whose calls
  // fail has gone, and says so at once.
  ReadResult Read(std::span<std::uint8_t> into, std::chrono::microseconds wait) override;

  std::string GoneReason() const override { return goneReason_; }

  // From the record the port has once open.
  std::chrono::nanoseconds CharacterTime() const override { return characterTime_; }

  // Whether bytes are waiting: already taken from the driver, or in its
  // input queue.
  bool InputWaiting() override;

  void Close() override;

 private:
  SerialTransport(HANDLE port, const COMMTIMEOUTS& saved) : port_(port), saved_(saved) {}

  // Sets the port's time-outs: a read waits for its whole count at most
  // `readMs`, a write at most `writeMs`. Set only when they change.
  bool SetTimeouts(DWORD readMs, DWORD writeMs);
  // The bytes waiting in the driver's input queue; nullopt when the port
  // failed (then it is marked gone).
  std::optional<DWORD> Queued(bool input);
  // Remembers why the port is gone; the first reason stands.
  void MarkGone(std::string reason);

  HANDLE port_;
  COMMTIMEOUTS saved_;
  std::optional<COMMTIMEOUTS> current_;
  std::uint32_t baud_ = 9600;
  std::chrono::nanoseconds characterTime_{};
  bool tickRaised_ = false;
  std::string goneReason_;
  // Bytes read from the driver and not yet handed out: [inputBegin_, inputEnd_).
  std::array<std::uint8_t, 4096> input_{};
  std::size_t inputBegin_ = 0;
  std::size_t inputEnd_ = 0;
};

}  // namespace

void MakeRaw(DCB& dcb) {
  dcb.DCBlength = sizeof(DCB);
  dcb.fBinary = TRUE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = FALSE;
}

bool ApplyLineSettings(const LineSettings& settings, DCB& dcb) {
  if (std::find(kRates.begin(), kRates.end(), settings.baud) == kRates.end()) {
    return false;
  }
  DCB next = dcb;
  next.BaudRate = settings.baud;
  if (settings.parity) {
    switch (*settings.parity) {
      case Parity::None:
        next.Parity = NOPARITY;
        break;
      case Parity::Even:
        next.Parity = EVENPARITY;
        break;
      case Parity::Odd:
        next.Parity = ODDPARITY;
        break;
      case Parity::Mark:
        next.Parity = MARKPARITY;
        break;
      case Parity::Space:
        next.Parity = SPACEPARITY;
        break;
    }
    next.fParity = *settings.parity == Parity::None ? FALSE : TRUE;
  }
  if (settings.dataBits) {
    next.ByteSize = static_cast<BYTE>(*settings.dataBits);
  }
  if (settings.stopBits) {
    if (*settings.stopBits == StopBits::One) {
      next.StopBits = ONESTOPBIT;
    } else {
      // A UART sends 1.5 stop bits only after 5-bit characters, and two
      // otherwise; the record takes no other pairing.
      next.StopBits = next.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    }
  }
  dcb = next;
  return true;
}

std::string LineRefusal(const DCB& asked, const DCB& inForce) {
  if (inForce.BaudRate == asked.BaudRate) {
    return {};
  }
  return "it runs at " + std::to_string(inForce.BaudRate) + " baud";
}

std::chrono::nanoseconds CharacterTimeOf(const DCB& dcb) {
  const double dataBits = dcb.ByteSize >= 5 && dcb.ByteSize <= 8 ? dcb.ByteSize : 8;
  const double parityBits = dcb.Parity == NOPARITY ? 0 : 1;
  const double stopBits = dcb.StopBits == ONESTOPBIT ? 1 : dcb.StopBits == ONE5STOPBITS ? 1.5 : 2;
  return CharacterTimeAt(dcb.BaudRate, 1 + dataBits + parityBits + stopBits);
}

std::string SerialDevicePath(std::string_view portName) {
  if (portName.size() > 3 && std::toupper(static_cast<unsigned char>(portName[0])) == 'C' &&
      std::toupper(static_cast<unsigned char>(portName[1])) == 'O' &&
      std::toupper(static_cast<unsigned char>(portName[2])) == 'M') {
    const std::string_view digits = portName.substr(3);
    bool allDigits = digits.size() <= 6 && digits[0] != '0';
    for (const char c : digits) {
      allDigits = allDigits && c >= '0' && c <= '9';
    }
    if (allDigits) {
      return "\\\\.\\COM" + std::string(digits);
    }
  }
  return std::string(portName);
}

std::string SerialPortIdentity(std::string_view portName) {
  // Device names are not case-sensitive: com7, COM7 and \\.\COM7 are one port.
  std::string path = SerialDevicePath(portName);
  std::transform(path.begin(), path.end(), path.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return path;
}

bool LineSettingsApplicable(const LineSettings& settings) {
  DCB probe{};
  probe.ByteSize = 8;
  return ApplyLineSettings(settings, probe);
}

std::unique_ptr<SerialTransport> SerialTransport::Open(std::string_view portName,
                                                       std::string_view lineSettings,
                                                       std::string* why, LineSettingsUse use) {
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
  // Share mode 0: the system refuses every other open until this one is
  // closed. No overlapped I/O: each call waits by the port's time-outs.
  const HANDLE port = ::CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    return fail(error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION
                    ? "in use by another program"
                    : SystemErrorText(error));
  }
  DCB found{};
  found.DCBlength = sizeof found;
  COMMTIMEOUTS saved{};
  if (::GetFileType(port) != FILE_TYPE_CHAR || !::GetCommState(port, &found) ||
      !::GetCommTimeouts(port, &saved)) {
    ::CloseHandle(port);
    return fail("not a serial port");
  }
  auto transport = std::unique_ptr<SerialTransport>(new SerialTransport(port, saved));

  DCB raw = found;
  MakeRaw(raw);
  DCB withLine = raw;
  const auto parsed = ParseLineSettings(lineSettings);
  // Why the port does not run at the rate asked; and whether the port's own
  // settings stay, as they do for a record the port does not take as a whole.
  std::string refused;
  bool taken = false;
  if (!parsed || !ApplyLineSettings(*parsed, withLine)) {
    refused = UnusableLineSettings(parsed);
  } else {
    taken = ::SetCommState(port, &withLine) != 0;
    const DWORD failure = ::GetLastError();
    DCB now{};
    now.DCBlength = sizeof now;
    refused =
        ::GetCommState(port, &now) ? LineRefusal(withLine, now) : SystemErrorText(::GetLastError());
    if (!refused.empty() && !taken) {
      refused = SystemErrorText(failure);
    }
  }
  if (!refused.empty() && use == LineSettingsUse::Exactly) {
    ::SetCommState(port, &found);
    return fail("the port refuses " + std::string(lineSettings) + ": " + refused);
  }
  if (!taken && use == LineSettingsUse::PortsOwnIfRefused) {
    ::SetCommState(port, &raw);
  }
  ::PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR);
  ::PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR);
  // The reply wait needs the character time of what the port really runs at.
  DCB now{};
  now.DCBlength = sizeof now;
  const DCB& inForce = ::GetCommState(port, &now) ? now : raw;
  transport->characterTime_ = CharacterTimeOf(inForce);
  transport->baud_ = inForce.BaudRate > 0 ? inForce.BaudRate : 9600;
  transport->tickRaised_ = ::timeBeginPeriod(1) == TIMERR_NOERROR;
  transport->SetTimeouts(1, 0);
  return transport;
}

SerialTransport::~SerialTransport() {
  Close();
}

void SerialTransport::Close() {
  if (port_ == INVALID_HANDLE_VALUE) {
    return;
  }
  ::SetCommTimeouts(port_, &saved_);
  ::CloseHandle(port_);
  port_ = INVALID_HANDLE_VALUE;
  if (tickRaised_) {
    ::timeEndPeriod(1);
    tickRaised_ = false;
  }
  inputBegin_ = inputEnd_ = 0;
}

bool SerialTransport::SetTimeouts(DWORD readMs, DWORD writeMs) {
  COMMTIMEOUTS next{};
  next.ReadIntervalTimeout = 0;
  next.ReadTotalTimeoutMultiplier = 0;
  next.ReadTotalTimeoutConstant = readMs;
  next.WriteTotalTimeoutMultiplier = 0;
  next.WriteTotalTimeoutConstant = writeMs;
  if (current_ && current_->ReadTotalTimeoutConstant == readMs &&
      current_->WriteTotalTimeoutConstant == writeMs) {
    return true;
  }
  if (!::SetCommTimeouts(port_, &next)) {
    current_.reset();
    return false;
  }
  current_ = next;
  return true;
}

std::optional<DWORD> SerialTransport::Queued(bool input) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!::ClearCommError(port_, &errors, &status)) {
    MarkGone(GoneText(::GetLastError()));
    return std::nullopt;
  }
  return input ? status.cbInQue : status.cbOutQue;
}

WriteResult SerialTransport::Write(std::span<const std::uint8_t> bytes) {
  if (!goneReason_.empty()) {
    return WriteResult::Gone;
  }
  if (port_ == INVALID_HANDLE_VALUE) {
    return WriteResult::NotSent;
  }
  // Allow twice the time the bytes need on the line and a second more
  // before calling the line blocked.
  const auto lineTime =
      std::chrono::milliseconds(std::uint64_t{bytes.size()} * kMostBitsPerCharacter * 1000 / baud_);
  const auto allowed = 2 * lineTime + std::chrono::seconds(1);
  const Deadline deadline(allowed);
  const DWORD readMs = current_ ? current_->ReadTotalTimeoutConstant : 1;
  SetTimeouts(readMs, static_cast<DWORD>(allowed.count()));

  DWORD written = 0;
  if (!::WriteFile(port_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_SEM_TIMEOUT || error == ERROR_COUNTER_TIMEOUT) {
      return WriteResult::NotSent;
    }
    MarkGone(GoneText(error));
    return WriteResult::Gone;
  }
  if (written < bytes.size()) {
    // The write time-out passed first.
    return WriteResult::NotSent;
  }
  // Wait until the driver has sent what it holds, sleeping for about the
  // time the rest needs at the line's speed.
  while (!deadline.Passed()) {
    const std::optional<DWORD> queued = Queued(false);
    if (!queued) {
      return WriteResult::Gone;
    }
    if (*queued == 0) {
      break;
    }
    const auto rest = std::chrono::microseconds(std::uint64_t{*queued} * kMostBitsPerCharacter *
                                                1'000'000 / baud_);
    PauseUntil(std::chrono::steady_clock::now() +
               std::min<std::chrono::nanoseconds>(std::max(rest, std::chrono::microseconds(500)),
                                                  deadline.Left()));
  }
  return WriteResult::Sent;
}

bool SerialTransport::InputWaiting() {
  if (inputBegin_ < inputEnd_) {
    return true;
  }
  if (port_ == INVALID_HANDLE_VALUE || !goneReason_.empty()) {
    return false;
  }
  const std::optional<DWORD> queued = Queued(true);
  return queued && *queued > 0;
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
  if (port_ == INVALID_HANDLE_VALUE || into.empty()) {
    deadline.SleepOut();
    return {};
  }
  while (true) {
    const std::optional<DWORD> queued = Queued(true);
    if (!queued) {
      return ReadResult{.gone = true};
    }
    DWORD want = 1;
    DWORD readMs = 1;
    if (*queued > 0) {
      // Already there: the read returns as soon as it has them.
      want = std::min<DWORD>(*queued, static_cast<DWORD>(input_.size()));
    } else {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline.Left());
      if (left.count() <= 0) {
        return {};
      }
      readMs = static_cast<DWORD>(left.count());
    }
    if (!SetTimeouts(readMs, current_ ? current_->WriteTotalTimeoutConstant : 0)) {
      MarkGone(GoneText(::GetLastError()));
      return ReadResult{.gone = true};
    }
    DWORD got = 0;
    if (!::ReadFile(port_, input_.data(), want, &got, nullptr)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_OPERATION_ABORTED) {
        // A line error with abort-on-error set elsewhere: clear it and go on.
        continue;
      }
      MarkGone(GoneText(error));
      return ReadResult{.gone = true};
    }
    if (got > 0) {
      inputBegin_ = 0;
      inputEnd_ = got;
      return handOut();
    }
    if (deadline.Passed()) {
      return {};
    }
  }
}

void SerialTransport::MarkGone(std::string reason) {
  if (goneReason_.empty()) {
    goneReason_ = reason.empty() ? "the port is gone" : std::move(reason);
  }
}

std::unique_ptr<Transport> OpenSerialTransport(std::string_view portName,
                                               std::string_view lineSettings, std::string* why,
                                               LineSettingsUse use) {
  return SerialTransport::Open(portName, lineSettings, why, use);
}

}  // namespace ql::link
