// The reading of the address and port texts of the TCP link.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "link/tcp_transport.h"

namespace ql::link {
namespace {

TEST(ParseNetPort, SignedDecimalCutTo16Bits) {
  struct Case {
    const char* text;
    std::uint16_t port;
  };
  const Case cases[] = {
      {"5003", 5003},  {"70000", 4464},   {"-1", 65535},     {" 5003abc", 5003},
      {"\t\n+80", 80}, {"0005003", 5003}, {"5003 ", 5003},   {"65536", 0},
      {"70539", 5003}, {"-65535", 1},     {"-123456", 7616}, {"123456789012", 6676},
      {"", 0},         {"abc", 0},        {"-", 0},          {"+", 0},
      {"- 5", 0},      {"--5", 0},        {"5-3", 5},        {"0x1F", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseNetPort(c.text), c.port) << '"' << c.text << '"';
  }
}

TEST(ParseNetIp, DottedIpv4OnlyWithoutNameLookup) {
  struct Case {
    const char* text;
    std::optional<std::uint32_t> hostOrder;
  };
  const Case cases[] = {
      {"127.0.0.1", 0x7F000001},
      {"192.168.1.101", 0xC0A80165},
      {"0.0.0.0", 0},
      {"10.1", 0x0A000001},
      {"0x7f.1", 0x7F000001},
      {"", std::nullopt},
      {"localhost", std::nullopt},
      {"256.1.1.1", std::nullopt},
      {"1.2.3.4.5", std::nullopt},
      {"255.255.255.255", std::nullopt},
      {"::1", std::nullopt},
      {"1.2.3.x", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto parsed = ParseNetIp(c.text);
    ASSERT_EQ(parsed.has_value(), c.hostOrder.has_value()) << '"' << c.text << '"';
    if (parsed) {
      EXPECT_EQ(ntohl(*parsed), *c.hostOrder) << '"' << c.text << '"';
    }
  }
  EXPECT_FALSE(ParseNetIp(std::string_view("127.0.0.1\0x", 11)).has_value());
}

}  // namespace
}  // namespace ql::link
