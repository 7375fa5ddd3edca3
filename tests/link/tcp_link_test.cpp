// The TCP link on 127.0.0.1 with a scripted device on the far side.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "link/command_exchange.h"
#include "link/frame.h"
#include "link/link.h"
#include "link/tcp_transport.h"
#include "peer.h"

namespace ql::link {
namespace {

using namespace ql::testing_support;

std::string Text(const Bytes& b) {
  return {b.begin(), b.end()};
}

class TcpLink : public ::testing::Test {
 protected:
  LinkSettings Settings() const {
    LinkSettings s;
    s.linkKind = LinkKind::Tcp;
    s.netIp = "127.0.0.1";
    s.netPort = std::to_string(listener_.port());
    return s;
  }

  Listener listener_;
  SystemClock clock_;
};

TEST_F(TcpLink, ExchangeAnsweredInTime) {
  const Bytes reply = BuildReply("0001ZxQL480TX-V5  1.02");
  PeerThread device([&] {
    int fd = listener_.Accept();
    ASSERT_GE(fd, 0);
    const auto request = ReadFrame(fd);
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(*request, BuildRequest("0001Zx5E2D"));
    WriteAll(fd, reply);
    ReadFrame(fd);  // until the link closes
    CloseFd(fd);
  });
  auto link = OpenLink(Settings());
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->Kind(), LinkKind::Tcp);
  CommandExchange exchange(*link, clock_);
  EXPECT_TRUE(exchange.ExchangeCommand("0001Zx5E2D"));
  EXPECT_EQ(exchange.ResponseText(), Text(reply));
  EXPECT_EQ(exchange.ReplyLength(), 29);
  link->Close();
}

TEST_F(TcpLink, PortTextWithBlanksAndTrailingLetters) {
  PeerThread device([&] {
    int fd = listener_.Accept();
    EXPECT_GE(fd, 0);
    CloseFd(fd);
  });
  LinkSettings s = Settings();
  s.netPort = "  " + s.netPort + "abc";
  EXPECT_NE(OpenLink(s), nullptr);
}

TEST_F(TcpLink, LongReplyInChunks) {
  const Bytes reply = BuildReply("0001Zv" + std::string(1024, 'A'));
  PeerThread device([&] {
    int fd = listener_.Accept();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(ReadFrame(fd).has_value());
    for (std::size_t at = 0; at < reply.size(); at += 100) {
      const auto end = reply.begin() + static_cast<long>(std::min(at + 100, reply.size()));
      WriteAll(fd, Bytes(reply.begin() + static_cast<long>(at), end));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ReadFrame(fd);
    CloseFd(fd);
  });
  auto link = OpenLink(Settings());
  ASSERT_NE(link, nullptr);
  CommandExchange exchange(*link, clock_);
  EXPECT_TRUE(exchange.ExchangeCommand("0001Zv0000"));
  EXPECT_EQ(exchange.ReplyLength(), 1037);
  link->Close();
}

TEST_F(TcpLink, LateReplyIsTakenByTheNextExchange) {
  const Bytes late = BuildReply("0001ZxLATE");
  Gate firstTimedOut;
  PeerThread device([&] {
    int fd = listener_.Accept();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(ReadFrame(fd).has_value());
    ASSERT_TRUE(firstTimedOut.Wait());
    WriteAll(fd, late);
    ReadFrame(fd);
    ReadFrame(fd);
    CloseFd(fd);
  });
  auto link = OpenLink(Settings());
  ASSERT_NE(link, nullptr);
  CommandExchange exchange(*link, clock_);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(exchange.ExchangeCommand("0001Zx5E2D"));
  EXPECT_GE(MsSince(start), 300);
  firstTimedOut.Open();
  EXPECT_TRUE(exchange.ExchangeCommand("0001Zx5E2D"));
  EXPECT_EQ(exchange.ResponseText(), Text(late));
  link->Close();
}

TEST_F(TcpLink, WrongReplyEndsAtOnce) {
  Bytes wrong = BuildReply("0001ZxOK");
  wrong[wrong.size() - 2] ^= 0x01;
  PeerThread device([&] {
    int fd = listener_.Accept();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(ReadFrame(fd).has_value());
    WriteAll(fd, wrong);
    WriteAll(fd, BuildReply("0001ZxOK"));
    ReadFrame(fd);
    CloseFd(fd);
  });
  auto link = OpenLink(Settings());
  ASSERT_NE(link, nullptr);
  CountingTransport counted(*link);
  CommandExchange exchange(counted, clock_);
  EXPECT_FALSE(exchange.ExchangeCommand("0001Zx5E2D"));
  EXPECT_EQ(counted.emptyReads, 0) << "the wrong frame ends the exchange; no silence is waited out";
  EXPECT_EQ(exchange.ResponseText(), Text(wrong));
  link->Close();
}

TEST_F(TcpLink, PeerThatClosesOrResetsEndsTheExchangeAtOnceAsALostLink) {
  struct Case {
    const char* name;
    bool reset;  // closed with a reset instead of an orderly close
    const char* reason;
  };
  const Case cases[] = {
      {"closed", false, "the peer closed the connection"},
      {"reset", true, "Connection reset by peer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Gate closed;
    PeerThread device([&] {
      int fd = listener_.Accept();
      ASSERT_GE(fd, 0);
      ASSERT_TRUE(ReadFrame(fd).has_value());
      WriteAll(fd, Bytes{0x03, '0', '0'});
      if (c.reset) {
        const linger abort{.l_onoff = 1, .l_linger = 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      }
      CloseFd(fd);
      closed.Open();
    });
    auto link = OpenLink(Settings());
    ASSERT_NE(link, nullptr);
    CountingTransport counted(*link);
    CommandExchange exchange(counted, clock_);
    EXPECT_FALSE(exchange.ExchangeCommand("0001Zx5E2D"));
    EXPECT_TRUE(exchange.LinkGone());
    if (!c.reset) {
      // A reset may overtake the bytes before it; a close never does.
      EXPECT_LE(counted.reads, 3) << "the bytes, then the read that finds the close";
    }
    EXPECT_EQ(exchange.GoneReason(), c.reason);

    // Nothing more is sent on the dead connection (no SIGPIPE), or waited for.
    ASSERT_TRUE(closed.Wait());
    counted.reads = 0;
    EXPECT_FALSE(exchange.ExchangeCommand("0001Zx5E2D"));
    EXPECT_FALSE(exchange.Resync());
    EXPECT_EQ(counted.reads, 0);
  }
}

TEST_F(TcpLink, SilentDeviceIsWaitedForOnce) {
  PeerThread device([&] {
    int fd = listener_.Accept();
    ASSERT_GE(fd, 0);
    ReadFrame(fd);
    ReadFrame(fd);
    CloseFd(fd);
  });
  auto link = OpenLink(Settings());
  ASSERT_NE(link, nullptr);
  CountingTransport counted(*link);
  CommandExchange exchange(counted, clock_);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(exchange.ExchangeCommand("0001Zx5E2D"));
  EXPECT_GE(MsSince(start), 300);
  EXPECT_LE(counted.reads, 3);
  link->Close();
}

TEST_F(TcpLink, AddressesAndPortsThatCannotBeOpened) {
  const std::uint16_t refused = listener_.port();
  listener_.Close();
  struct Case {
    const char* ip;
    std::string port;
  };
  const Case cases[] = {
      {"127.0.0.1", std::to_string(refused)},
      {"127.0.0.1", "0"},
      {"127.0.0.1", ""},
      {"127.0.0.1", "abc"},
      {"127.0.0.1", "65536"},
      {"localhost", std::to_string(refused)},
      {"", std::to_string(refused)},
      {"255.255.255.255", "5003"},
      {"999.1.1.1", "5003"},
  };
  const int fds = OpenFdCount();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.ip) + " port \"" + c.port + "\"");
    LinkSettings s;
    s.linkKind = LinkKind::Tcp;
    s.netIp = c.ip;
    s.netPort = c.port;
    // Each fails on its own reason, never by waiting out the connect time-out.
    std::string why;
    EXPECT_EQ(TryOpenLink(s, why), nullptr);
    EXPECT_NE(why, "Connection timed out");
    EXPECT_NE(why, "");
    EXPECT_EQ(OpenFdCount(), fds);
  }
}

TEST(TcpConnect, PeerThatNeverAnswersGivesUpAfterTheTimeOut) {
  // A listener that never accepts and whose queue is full drops further
  // connection requests, so a connect to it hangs until our time-out; the
  // system's own gives up only after about two minutes, which the minute
  // allowed here tells apart on any machine.
  Listener full(0);
  const std::string port = std::to_string(full.port());
  auto first = OpenTcpTransport("127.0.0.1", port, std::chrono::milliseconds(2000));
  ASSERT_NE(first, nullptr);

  const int fds = OpenFdCount();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(OpenTcpTransport("127.0.0.1", port, std::chrono::milliseconds(200)), nullptr);
  EXPECT_EQ(OpenFdCount(), fds);
  EXPECT_GE(MsSince(start), 190);
  EXPECT_LT(MsSince(start), 60'000);

  // OpenLink bounds its connect at five seconds.
  LinkSettings s;
  s.linkKind = LinkKind::Tcp;
  s.netIp = "127.0.0.1";
  s.netPort = port;
  const auto openStart = std::chrono::steady_clock::now();
  EXPECT_EQ(OpenLink(s), nullptr);
  EXPECT_GE(MsSince(openStart), 4900);
  EXPECT_LT(MsSince(openStart), 60'000);
}

TEST(TcpConnect, AStopCutsTheWaitForAPeerThatNeverAnswers) {
  Listener full(0);
  const std::string port = std::to_string(full.port());
  auto first = OpenTcpTransport("127.0.0.1", port, std::chrono::milliseconds(2000));
  ASSERT_NE(first, nullptr);
  std::atomic<bool> stop{false};
  std::thread stopper([&stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop = true;
  });
  const int fds = OpenFdCount();
  std::string why;
  // A time-out no test runner waits out: only the stop can end this.
  EXPECT_EQ(OpenTcpTransport("127.0.0.1", port, std::chrono::hours(1), &why, &stop), nullptr);
  stopper.join();
  EXPECT_EQ(why, "stopped while connecting");
  EXPECT_EQ(OpenFdCount(), fds);
}

}  // namespace
}  // namespace ql::link

namespace ql::link {
namespace {

TEST(TcpConnect, AFailedOpenSaysWhy) {
  testing_support::Listener closed(0);
  const std::string refused = std::to_string(closed.port());
  closed.Close();
  testing_support::Listener full(0);
  const std::string port = std::to_string(full.port());
  auto first = OpenTcpTransport("127.0.0.1", port, std::chrono::milliseconds(2000));
  ASSERT_NE(first, nullptr);

  struct Case {
    const char* ip;
    std::string port;
    const char* why;
  };
  const Case cases[] = {
      {"127.0.0.1", refused, "Connection refused"},
      {"127.0.0.1", port, "Connection timed out"},  // the listener's queue is full
      {"localhost", refused, "not an IPv4 address"},
      {"127.0.0.1", "0", "not a TCP port number"},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_EQ(OpenTcpTransport(c.ip, c.port, std::chrono::milliseconds(200), &why), nullptr);
    EXPECT_EQ(why, c.why) << c.ip << ":" << c.port;
  }
  std::string why = "stale";
  LinkSettings s;
  s.linkKind = LinkKind::Tcp;
  s.netIp = "127.0.0.1";
  s.netPort = refused;
  EXPECT_EQ(TryOpenLink(s, why), nullptr);
  EXPECT_EQ(why, "Connection refused");
}

}  // namespace
}  // namespace ql::link
