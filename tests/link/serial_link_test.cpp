// The serial link over a pseudo-terminal pair: opened on the slave side, with
// a lock folder of the test's own, and a scripted device on the master side.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "link/command_exchange.h"
#include "link/frame.h"
#include "link/link.h"
#include "link/serial_port_posix.h"
#include "link/serial_reply_wait.h"
#include "peer.h"

namespace ql::link {
namespace {

using namespace ql::testing_support;

std::string Text(const Bytes& b) {
  return {b.begin(), b.end()};
}

Bytes WithWrongCrc(Bytes frame) {
  frame[frame.size() - 2] = frame[frame.size() - 2] == '0' ? '1' : '0';
  return frame;
}

class SerialLink : public ::testing::Test {
 protected:
  LinkSettings Settings(std::string baud = "19200,e,8,1") const {
    LinkSettings s;
    s.linkKind = LinkKind::Serial;
    s.comPortName = pty_.slavePath();
    s.comBaudRate = std::move(baud);
    return s;
  }

  // The link as OpenLink opens it, but taking its lock file in a folder of
  // the test's own rather than the system's.
  std::unique_ptr<Transport> Open(const LinkSettings& s) const {
    return OpenSerialTransport(s.comPortName, s.comBaudRate, nullptr, locks_.path());
  }

  termios SlaveTermios() const {
    termios tio{};
    EXPECT_EQ(::tcgetattr(pty_.slave(), &tio), 0);
    return tio;
  }

  PtyPair pty_;
  TempFolder locks_;
  SystemClock clock_;
};

TEST_F(SerialLink, ExchangeAnsweredInTime) {
  const Bytes reply = BuildReply("0001ZxQL480TX-V5  1.02");
  PeerThread device([&] {
    const auto request = ReadFrame(pty_.master());
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(*request, BuildRequest("0001Zx5E2D"));
    WriteAll(pty_.master(), reply);
  });
  auto link = Open(Settings());
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->Kind(), LinkKind::Serial);
  CommandExchange exchange(*link, clock_);
  EXPECT_TRUE(exchange.ExchangeCommand("0001Zx5E2D"));
  EXPECT_EQ(exchange.ResponseText(), Text(reply));
  EXPECT_EQ(exchange.ReplyLength(), 29);
}

TEST_F(SerialLink, LongReplyInChunks) {
  const Bytes reply = BuildReply("0001Zv" + std::string(1024, 'A'));
  PeerThread device([&] {
    ASSERT_TRUE(ReadFrame(pty_.master()).has_value());
    for (std::size_t at = 0; at < reply.size(); at += 100) {
      const auto end = reply.begin() + static_cast<long>(std::min(at + 100, reply.size()));
      WriteAll(pty_.master(), Bytes(reply.begin() + static_cast<long>(at), end));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  auto link = Open(Settings());
  ASSERT_NE(link, nullptr);
  CommandExchange exchange(*link, clock_);
  EXPECT_TRUE(exchange.ExchangeCommand("0001Zv0000"));
  EXPECT_EQ(exchange.ReplyLength(), 1037);
}

TEST_F(SerialLink, LateReplyIsTakenByTheNextExchange) {
  const Bytes late = BuildReply("0001ZxLATE");
  Gate firstTimedOut;
  PeerThread device([&] {
    ASSERT_TRUE(ReadFrame(pty_.master()).has_value());
    ASSERT_TRUE(firstTimedOut.Wait());
    WriteAll(pty_.master(), late);
  });
  auto link = Open(Settings());
  ASSERT_NE(link, nullptr);
  CommandExchange exchange(*link, clock_);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(exchange.ExchangeCommand("0001Zx5E2D"));
  EXPECT_GE(MsSince(start), 300);
  firstTimedOut.Open();
  EXPECT_TRUE(exchange.ExchangeCommand("0001Zx5E2D"));
  EXPECT_EQ(exchange.ResponseText(), Text(late));
}

TEST_F(SerialLink, WrongReplyEndsAtOnceAndTheRightOneWaitsInTheQueue) {
  const Bytes right = BuildReply("0001ZxOK");
  PeerThread device([&] {
    ASSERT_TRUE(ReadFrame(pty_.master()).has_value());
    Bytes both = WithWrongCrc(right);
    both.insert(both.end(), right.begin(), right.end());
    WriteAll(pty_.master(), both);
  });
  auto link = Open(Settings());
  ASSERT_NE(link, nullptr);
  CountingTransport counted(*link);
  CommandExchange exchange(counted, clock_);
  EXPECT_FALSE(exchange.ExchangeCommand("0001Zx5E2D"));
  EXPECT_EQ(counted.emptyReads, 0) << "the wrong frame ends the exchange; no silence is waited out";
  device.Join();
  EXPECT_TRUE(exchange.ExchangeCommand("0001Zx5E2D"));
  EXPECT_EQ(exchange.ResponseText(), Text(right));
}

TEST_F(SerialLink, HangUpMidReplyEndsTheExchangeAtOnceAsALostLink) {
  PeerThread device([&] {
    ASSERT_TRUE(ReadFrame(pty_.master()).has_value());
    WriteAll(pty_.master(), Bytes{0x03, '0', '0', '0', '1'});
    pty_.CloseMaster();
  });
  auto link = Open(Settings());
  ASSERT_NE(link, nullptr);
  CountingTransport counted(*link);
  CommandExchange exchange(counted, clock_);
  EXPECT_FALSE(exchange.ExchangeCommand("0001Zx5E2D"));
  EXPECT_TRUE(exchange.LinkGone());
  // Closing the master also removes the slave's device node.
  EXPECT_TRUE(exchange.GoneReason() == "the port hung up" ||
              exchange.GoneReason() == "the port was removed")
      << exchange.GoneReason();
  // A hang-up may drop bytes the terminal had not handed over yet.
  EXPECT_LE(counted.reads, 5 + 1) << "at most five bytes, then the read that finds the hang-up";

  // Nothing more is sent on the dead port, or waited for.
  counted.reads = 0;
  EXPECT_FALSE(exchange.ExchangeCommand("0001Zx5E2D"));
  EXPECT_FALSE(exchange.Resync());
  EXPECT_FALSE(exchange.QuietForWindowAfterReply());
  EXPECT_EQ(counted.reads, 0);
}

TEST_F(SerialLink, PortHungUpBeforeTheRequestIsGoneAtTheWrite) {
  auto link = Open(Settings());
  ASSERT_NE(link, nullptr);
  pty_.CloseMaster();
  const Bytes request = BuildRequest("0001Zx5E2D");
  EXPECT_EQ(link->Write(request), WriteResult::Gone);
  EXPECT_FALSE(link->GoneReason().empty());
  const ReadResult read = link->Read(std::span<std::uint8_t>(), std::chrono::seconds(30));
  EXPECT_TRUE(read.gone) << "a gone port says so at once, not after the wait";
}

// An unplugged adapter's node goes away, and may come back as another
// device: either way the port that was opened is gone.
TEST(DeviceNodeRemoved, OnlyTheSameCharacterDeviceIsStillThePort) {
  struct stat null {};
  ASSERT_EQ(::stat("/dev/null", &null), 0);
  EXPECT_FALSE(DeviceNodeRemoved("/dev/null", null.st_rdev));
  EXPECT_TRUE(DeviceNodeRemoved("/dev/zero", null.st_rdev)) << "another device";
  EXPECT_TRUE(DeviceNodeRemoved("/dev/ql-no-such-port", null.st_rdev));
  EXPECT_TRUE(DeviceNodeRemoved("/dev/null/x", null.st_rdev));
  const TempFolder folder;
  EXPECT_TRUE(DeviceNodeRemoved(folder.path(), null.st_rdev)) << "not a device at all";
}

TEST_F(SerialLink, SilentDeviceIsWaitedForOnce) {
  auto link = Open(Settings());
  ASSERT_NE(link, nullptr);
  CountingTransport counted(*link);
  CommandExchange exchange(counted, clock_);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(exchange.ExchangeCommand("0001Zx5E2D"));
  EXPECT_GE(MsSince(start), 300);
  EXPECT_LE(counted.reads, 3);
}

TEST_F(SerialLink, DeviceThatNeverPausesDoesNotHoldTheExchangePastTheBound) {
  // A byte every 0.5 ms, never a frame, until the exchange has ended or a
  // minute has passed. At 9600 baud (8N1, as a pseudo-terminal runs) the
  // line is quiet after 3.1 ms without a byte, and the wait is bounded by
  // 300 ms, the line time of 1500 bytes (1563 ms) and 100 ms: far inside the
  // minute, however busy the machine. A busy machine may stall the peer for
  // longer than the quiet period, which only ends the wait sooner.
  std::atomic<bool> exchangeEnded{false};
  std::atomic<bool> peerGaveUp{false};
  PeerThread device([&] {
    ASSERT_TRUE(ReadFrame(pty_.master()).has_value());
    const auto start = std::chrono::steady_clock::now();
    auto next = start;
    while (!exchangeEnded) {
      if (MsSince(start) > 60'000) {
        peerGaveUp = true;
        return;
      }
      WriteAll(pty_.master(), Bytes{'A'});
      next += std::chrono::microseconds(500);
      std::this_thread::sleep_until(next);
    }
  });
  auto link = Open(Settings("9600,n,8,1"));
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(SerialWaitBoundMs(kReplyWindowMs, link->CharacterTime()), 300u + 1563 + 100);
  CommandExchange exchange(*link, clock_);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(exchange.ExchangeCommand("0001Zx5E2D"));
  EXPECT_GE(MsSince(start), 300);
  exchangeEnded = true;
  device.Join();
  EXPECT_FALSE(peerGaveUp) << "the wait went on while the device kept sending";
}

TEST_F(SerialLink, CharacterTimeIsThatOfThePortOnceOpen) {
  termios before = SlaveTermios();
  cfsetispeed(&before, B4800);
  cfsetospeed(&before, B4800);
  before.c_cflag |= CSTOPB;
  ASSERT_EQ(::tcsetattr(pty_.slave(), TCSANOW, &before), 0);

  // A pseudo-terminal takes the speed and the stop bits asked for, but always
  // runs 8 data bits without parity: the character time follows what the
  // port really runs, not what the text asked for.
  struct Case {
    const char* text;
    std::uint32_t baud;
    double bits;
  };
  const Case cases[] = {
      {"19200,e,8,1", 19200, 10},
      {"9600,n,8,1", 9600, 10},
      {"921600,e,8,1", 921600, 10},
      {"115200,n,8,2", 115200, 11},
      {"2400,n,5,1.5", 2400, 11},
      // Nothing readable: the port's previous 4800 with 2 stop bits stays.
      {"garbage", 4800, 11},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    // Put the previous settings back: each open leaves its own in place.
    ASSERT_EQ(::tcsetattr(pty_.slave(), TCSANOW, &before), 0);
    auto link = Open(Settings(c.text));
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->CharacterTime(), CharacterTimeAt(c.baud, c.bits));
  }
}

TEST_F(SerialLink, PortIsExclusiveWhileOpen) {
  auto first = Open(Settings());
  ASSERT_NE(first, nullptr);
  const int fds = OpenFdCount();
  EXPECT_EQ(Open(Settings()), nullptr);
  EXPECT_EQ(OpenFdCount(), fds) << "the refused open left a descriptor open";
  first->Close();
  auto again = Open(Settings());
  EXPECT_NE(again, nullptr);
  again.reset();
  EXPECT_NE(Open(Settings()), nullptr) << "the destructor releases the port";
}

TEST_F(SerialLink, PortsThatCannotBeOpened) {
  const auto file =
      std::filesystem::temp_directory_path() / ("ql-link-not-a-tty-" + std::to_string(::getpid()));
  {
    std::FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }

  const std::string names[] = {"/dev/ql-no-such-port", "COM250", "", file.string(), "/tmp"};
  const int fds = OpenFdCount();
  for (const auto& name : names) {
    LinkSettings s = Settings();
    s.comPortName = name;
    EXPECT_EQ(Open(s), nullptr) << '"' << name << '"';
    EXPECT_EQ(OpenFdCount(), fds) << '"' << name << '"';
  }
  std::filesystem::remove(file);
}

TEST_F(SerialLink, AFailedOpenSaysWhy) {
  const auto file =
      std::filesystem::temp_directory_path() / ("ql-link-why-" + std::to_string(::getpid()));
  {
    std::FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  auto held = OpenLink(Settings());
  ASSERT_NE(held, nullptr);
  struct Case {
    std::string port;
    std::vector<std::string> why;  // what the reason begins with: any of these
  };
  const Case cases[] = {
      {"/dev/ql-no-such-port", {"No such file or directory"}},
      {file.string(), {"not a serial port"}},
      {"", {"not a port name"}},
      // The superuser passes the exclusive flag and meets the lock.
      {pty_.slavePath(), {"in use by another program", "Device or resource busy"}},
  };
  for (const auto& c : cases) {
    LinkSettings s = Settings();
    s.comPortName = c.port;
    std::string why;
    EXPECT_EQ(TryOpenLink(s, why), nullptr) << c.port;
    EXPECT_TRUE(std::any_of(c.why.begin(), c.why.end(),
                            [&why](const std::string& w) { return why.rfind(w, 0) == 0; }))
        << c.port << ": " << why;
  }
  std::filesystem::remove(file);
}

TEST_F(SerialLink, AnyKindOtherThanTcpIsSerial) {
  LinkSettings s = Settings();
  s.linkKind = static_cast<LinkKind>(7);
  s.netIp = "127.0.0.1";
  s.netPort = "1";
  auto link = OpenLink(s);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->Kind(), LinkKind::Serial);
}

TEST_F(SerialLink, OpenSetsLineAndTimeOutsCloseRestoresOnlyTheTimeOuts) {
  termios before = SlaveTermios();
  cfsetispeed(&before, B9600);
  cfsetospeed(&before, B9600);
  before.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
  before.c_lflag |= ECHO | ICANON;
  before.c_iflag |= ICRNL;
  before.c_cc[VMIN] = 5;
  before.c_cc[VTIME] = 7;
  ASSERT_EQ(::tcsetattr(pty_.slave(), TCSANOW, &before), 0);

  auto link = Open(Settings("115200,n,8,2"));
  ASSERT_NE(link, nullptr);
  const termios open = SlaveTermios();
  EXPECT_EQ(cfgetospeed(&open), B115200);
  EXPECT_NE(open.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(open.c_lflag & (ECHO | ICANON), 0u) << "raw bytes, no echo";
  EXPECT_EQ(open.c_iflag & ICRNL, 0u) << "CR must reach the framer unchanged";
  EXPECT_EQ(open.c_cc[VMIN], 0);
  EXPECT_EQ(open.c_cc[VTIME], 0);

  link->Close();
  const termios closed = SlaveTermios();
  EXPECT_EQ(closed.c_cc[VMIN], 5);
  EXPECT_EQ(closed.c_cc[VTIME], 7);
  EXPECT_EQ(cfgetospeed(&closed), B115200) << "line settings stay";
  EXPECT_NE(closed.c_cflag & CSTOPB, 0u);
}

TEST_F(SerialLink, UnreadableLineSettingsKeepThePortsAndStillOpen) {
  termios before = SlaveTermios();
  cfsetispeed(&before, B4800);
  cfsetospeed(&before, B4800);
  before.c_cflag |= CSTOPB;
  ASSERT_EQ(::tcsetattr(pty_.slave(), TCSANOW, &before), 0);

  for (const char* text : {"garbage", "", "12345,n,8,1"}) {
    SCOPED_TRACE(text);
    auto link = Open(Settings(text));
    ASSERT_NE(link, nullptr);
    const termios open = SlaveTermios();
    EXPECT_EQ(cfgetospeed(&open), B4800);
    EXPECT_NE(open.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(open.c_lflag & ECHO, 0u) << "still raw";
  }
}

TEST_F(SerialLink, OpenDropsStaleInput) {
  WriteAll(pty_.master(), Bytes{'s', 't', 'a', 'l', 'e'});
  // The bytes reach the slave's queue through the pty asynchronously.
  int queued = 0;
  const auto start = std::chrono::steady_clock::now();
  while (queued < 5 && MsSince(start) < 30'000) {
    pollfd pfd{pty_.slave(), POLLIN, 0};
    ::poll(&pfd, 1, 10);
    ::ioctl(pty_.slave(), FIONREAD, &queued);
  }
  ASSERT_EQ(queued, 5);
  auto link = Open(Settings());
  ASSERT_NE(link, nullptr);
  ::ioctl(pty_.slave(), FIONREAD, &queued);
  EXPECT_EQ(queued, 0);
}

}  // namespace
}  // namespace ql::link
