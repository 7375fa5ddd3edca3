// The TCP link over Windows Sockets against a peer on 127.0.0.1: an exchange
// answered in time, a peer that closes the connection, a silent peer, and
// opens that fail with their reasons.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/clock.h"
#include "link/command_exchange.h"
#include "link/frame.h"
#include "link/link.h"
#include "link/tcp_transport.h"

namespace ql::link {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Steady = std::chrono::steady_clock;

// A listener on 127.0.0.1 with a port of the system's choice; every wait on
// it is bounded, so a test that goes wrong fails instead of hanging.
class Peer {
 public:
  Peer() {
    WSADATA data{};
    ::WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 4);
    int length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ::ntohs(address.sin_port);
  }
  ~Peer() {
    Drop();
    ::closesocket(listener_);
    ::WSACleanup();
  }

  std::string Port() const { return std::to_string(port_); }

  bool Accept() {
    if (!Ready(listener_)) {
      return false;
    }
    connection_ = ::accept(listener_, nullptr, nullptr);
    return connection_ != INVALID_SOCKET;
  }

  // One request frame, through its CR; nullopt when none came in time.
  std::optional<Bytes> ReadFrame() {
    Bytes frame;
    char byte = 0;
    while (Ready(connection_) && ::recv(connection_, &byte, 1, 0) == 1) {
      frame.push_back(static_cast<std::uint8_t>(byte));
      if (byte == '\r') {
        return frame;
      }
    }
    return std::nullopt;
  }

  void Send(const Bytes& bytes) {
    ::send(connection_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()),
           0);
  }

  void Drop() {
    if (connection_ != INVALID_SOCKET) {
      ::closesocket(connection_);
      connection_ = INVALID_SOCKET;
    }
  }

 private:
  static bool Ready(SOCKET socket) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval timeout{5, 0};
    return ::select(0, &readable, nullptr, nullptr, &timeout) == 1;
  }

  SOCKET listener_ = INVALID_SOCKET;
  SOCKET connection_ = INVALID_SOCKET;
  std::uint16_t port_ = 0;
};

LinkSettings Tcp(const std::string& port) {
  LinkSettings settings;
  settings.linkKind = LinkKind::Tcp;
  settings.netIp = "127.0.0.1";
  settings.netPort = port;
  return settings;
}

TEST(WindowsTcp, ExchangeAnsweredInTime) {
  Peer peer;
  const Bytes reply = BuildReply("0001ZxQL480TX-V5  1.02");
  std::thread device([&] {
    ASSERT_TRUE(peer.Accept());
    EXPECT_EQ(peer.ReadFrame(), BuildRequest("0001Zx5E2D"));
    peer.Send(reply);
    peer.ReadFrame();  // until the link closes
  });
  auto link = OpenLink(Tcp(" " + peer.Port() + "abc"));
  ASSERT_NE(link, nullptr);
  SystemClock clock;
  CommandExchange exchange(*link, clock);
  EXPECT_TRUE(exchange.ExchangeCommand("0001Zx5E2D"));
  EXPECT_EQ(exchange.ResponseText(), std::string(reply.begin(), reply.end()));
  link->Close();
  device.join();
}

// A connection the peer resets ends the same way with "Connection reset by
// peer" (system_text_win32_test); Wine turns every close into an orderly
// one, so only the orderly close can be shown here.
TEST(WindowsTcp, APeerThatClosesIsGoneAtOnceAndNothingMoreIsSent) {
  Peer peer;
  std::thread device([&] {
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(peer.ReadFrame().has_value());
    peer.Send(Bytes{0x03, '0', '0'});
    peer.Drop();
  });
  auto link = OpenLink(Tcp(peer.Port()));
  ASSERT_NE(link, nullptr);
  SystemClock clock;
  CommandExchange exchange(*link, clock);
  EXPECT_FALSE(exchange.ExchangeCommand("0001Zx5E2D"));
  device.join();
  EXPECT_TRUE(exchange.LinkGone());
  EXPECT_EQ(exchange.GoneReason(), "the peer closed the connection");
  EXPECT_EQ(link->Write(BuildRequest("0001Zx5E2D")), WriteResult::Gone);
}

TEST(WindowsTcp, ASilentPeerGivesNothingForTheWholeWaitAndBytesShowAsWaiting) {
  Peer peer;
  auto link = OpenLink(Tcp(peer.Port()));
  ASSERT_NE(link, nullptr);
  ASSERT_TRUE(peer.Accept());
  EXPECT_FALSE(link->InputWaiting());
  std::uint8_t into[16];
  const auto start = Steady::now();
  const ReadResult nothing = link->Read(into, std::chrono::milliseconds(25));
  EXPECT_EQ(nothing.count, 0U);
  EXPECT_FALSE(nothing.gone);
  EXPECT_GE(Steady::now() - start, std::chrono::milliseconds(25));

  peer.Send(Bytes{'a', 'b', 'c'});
  const auto giveUp = Steady::now() + std::chrono::seconds(5);
  while (!link->InputWaiting() && Steady::now() < giveUp) {
    std::this_thread::yield();
  }
  EXPECT_TRUE(link->InputWaiting());
  const ReadResult some = link->Read(into, std::chrono::milliseconds(25));
  EXPECT_EQ(some.count, 3U);
}

TEST(WindowsTcp, AFailedOpenSaysWhy) {
  std::string refusedPort;
  {
    Peer gone;
    refusedPort = gone.Port();
  }
  const struct {
    const char* ip;
    std::string port;
    const char* why;
  } cases[] = {
      {"127.0.0.1", refusedPort, "Connection refused"},
      {"device.example", "5003", "not an IPv4 address"},
      {"", "5003", "not an IPv4 address"},
      {"127.0.0.1", "0", "not a TCP port number"},
      {"127.0.0.1", "", "not a TCP port number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.ip) + ":" + c.port);
    LinkSettings settings = Tcp(c.port);
    settings.netIp = c.ip;
    std::string why;
    EXPECT_EQ(TryOpenLink(settings, why), nullptr);
    EXPECT_EQ(why, c.why);
  }
}

}  // namespace
}  // namespace ql::link
