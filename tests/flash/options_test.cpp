// The command line of ql480tx-flash: what it accepts, what it refuses.
#include <gtest/gtest.h>

#include "json_events.h"
#include "options.h"

namespace ql::flash {
namespace {

ParseResult Parse(std::vector<std::string> args) {
  return ParseOptions(args);
}

TEST(FlashOptions, TcpLinksWithAndWithoutPort) {
  const auto r = Parse({"--tcp", "127.0.0.1", "--tcp=10.0.0.7:6000", "image.QLB"});
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(r.options.devices.size(), 2u);
  EXPECT_EQ(r.options.devices[0].kind, link::LinkKind::Tcp);
  EXPECT_EQ(r.options.devices[0].Label(), "127.0.0.1:5003");
  EXPECT_EQ(r.options.devices[1].Label(), "10.0.0.7:6000");
  EXPECT_EQ(r.options.firmwarePath, "image.QLB");
  EXPECT_EQ(r.options.deviceId, "0001");
  EXPECT_EQ(r.options.mode, Mode::Upgrade);
}

TEST(FlashOptions, SerialLinksTakeTheLineSettings) {
  const auto r = Parse({"--serial", "/dev/ttyUSB0", "--serial", "COM2", "--line", "115200,e,8,1",
                        "--connect-only", "--lang", "zh-TW", "--json", "a.QLB"});
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(r.options.devices.size(), 2u);
  EXPECT_EQ(r.options.devices[1].port, "COM2");
  EXPECT_EQ(r.options.devices[0].lineSettings, "115200,e,8,1");
  EXPECT_EQ(r.options.devices[1].lineSettings, "115200,e,8,1");
  EXPECT_EQ(r.options.mode, Mode::ConnectOnly);
  EXPECT_TRUE(r.options.json);
  EXPECT_EQ(r.options.language, text::Language::Traditional);
}

TEST(FlashOptions, SerialWithoutLineUsesTheDefault) {
  const auto r = Parse({"--serial", "/dev/ttyS1", "a.QLB"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.devices[0].lineSettings, "19200,e,8,1");
}

TEST(FlashOptions, AnIpv6AddressIsNamedAsSuch) {
  for (const std::string given : {"[::1]:5003", "::1", "fe80::1"}) {
    const auto r = Parse({"--tcp", given, "a.QLB"});
    EXPECT_NE(r.error.find("IPv6 is not supported"), std::string::npos) << given << r.error;
  }
}

TEST(FlashOptions, FieldsLeftOutOfTheLineAreTheWindowsDefaultFraming) {
  for (const auto& [given, meant] :
       std::vector<std::pair<std::string, std::string>>{{"115200", "115200,e,8,1"},
                                                        {"115200,n", "115200,n,8,1"},
                                                        {"9600,o,7", "9600,o,7,1"},
                                                        {"4800,n,8,2", "4800,n,8,2"}}) {
    const auto r = Parse({"--serial", "/dev/ttyS1", "--line", given, "a.QLB"});
    ASSERT_EQ(r.error, "") << given;
    EXPECT_EQ(r.options.devices[0].lineSettings, meant);
  }
}

TEST(FlashOptions, NoLinkMeansTheStoredOne) {
  const auto r = Parse({"a.QLB"});
  ASSERT_EQ(r.error, "");
  EXPECT_TRUE(r.options.devices.empty());
  EXPECT_FALSE(r.options.language.has_value());
}

TEST(FlashOptions, UsageErrors) {
  const std::vector<std::vector<std::string>> bad = {
      {},                                 // no file
      {"a.QLB", "b.QLB"},                 // two files
      {"--frobnicate", "a.QLB"},          // unknown option
      {"a.QLB", "--tcp"},                 // value missing
      {"--tcp", "host:0", "a.QLB"},       // port out of range
      {"--tcp", "host:70000", "a.QLB"},   // port out of range
      {"--tcp", "host:50x", "a.QLB"},     // port not a number
      {"--tcp", ":5003", "a.QLB"},        // no host
      {"--tcp", "::1", "a.QLB"},          // IPv6 is no link of this device
      {"--id", "12", "a.QLB"},            // bad ID
      {"--id", "00001", "a.QLB"},         // bad ID
      {"--id", "00 1", "a.QLB"},          // bad ID
      {"--lang", "fr", "a.QLB"},          // unknown language
      {"--line", "9600,n,8,1", "a.QLB"},  // line without a serial link
      {"--json=yes", "a.QLB"},            // flag with a value
      {"--serial", "", "a.QLB"},          // empty port
  };
  for (const auto& args : bad) {
    std::string joined;
    for (const auto& a : args) {
      joined += a + " ";
    }
    EXPECT_NE(Parse(args).error, "") << joined;
  }
}

TEST(FlashOptions, UsageErrorsOfTheFieldOptions) {
  const std::vector<std::vector<std::string>> bad = {
      {"--verify-only", "--connect-only", "a.QLB"},                  // two things to do
      {"--read-flash", "out.QLB", "--verify-only", "a.QLB"},         // two things to do
      {"--read-flash", "out.QLB", "a.QLB"},                          // no FILE with --read-flash
      {"--read-flash", "out.QLB", "--tcp", "a", "--tcp", "b"},       // one device only
      {"--read-flash="},                                             // no file name
      {"--force", "a.QLB"},                                          // --force without --read-flash
      {"--trace", "", "a.QLB"},                                      // no file name
      {"--serial", "/dev/ttyS0", "--line", "garbage", "a.QLB"},      // unreadable line settings
      {"--serial", "/dev/ttyS0", "--line", "12345,e,8,1", "a.QLB"},  // a rate with no speed
      {"--serial", "/dev/ttyS0", "--line", "", "a.QLB"},             // empty
      {"-x", "a.QLB"},                                               // unknown short option
      {"-qx", "a.QLB"},                                              // unknown in a bundle
      {"--list-ports=yes"},                                          // flag with a value
      {"a.QLB", "--", "b.QLB"},                                      // two files
      {"--repeat", "--verify-only", "a.QLB"},                        // repeat only upgrades
      {"--repeat", "--connect-only", "a.QLB"},
      {"--repeat", "--read-flash", "out.QLB"},
      {"--repeat=yes", "a.QLB"},
      {"--log", "", "a.QLB"},                         // no file name
      {"--log", "s.log", "--read-flash", "out.QLB"},  // nothing to log
  };
  for (const auto& args : bad) {
    std::string joined;
    for (const auto& a : args) {
      joined += a + " ";
    }
    EXPECT_NE(Parse(args).error, "") << joined;
  }
}

TEST(FlashOptions, FieldOptions) {
  auto r = Parse({"--verify-only", "--trace=t.txt", "-q", "--tcp", "h", "a.QLB"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.mode, Mode::VerifyOnly);
  EXPECT_EQ(r.options.tracePath, "t.txt");
  EXPECT_TRUE(r.options.quiet);

  r = Parse({"--read-flash", "out.QLB", "--force", "--serial", "COM3"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.mode, Mode::ReadFlash);
  EXPECT_EQ(r.options.readFlashPath, "out.QLB");
  EXPECT_TRUE(r.options.force);
  EXPECT_EQ(r.options.firmwarePath, "");

  // "--" ends the options: a file whose name begins with a dash.
  r = Parse({"--connect-only", "--", "-odd.QLB"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.mode, Mode::ConnectOnly);
  EXPECT_EQ(r.options.firmwarePath, "-odd.QLB");

  EXPECT_TRUE(Parse({"-V"}).options.version);
  EXPECT_TRUE(Parse({"-qV"}).options.quiet);
  EXPECT_TRUE(Parse({"-qV"}).options.version);
  EXPECT_TRUE(Parse({"--list-ports"}).options.listPorts);
  r = Parse({"--repeat", "--tcp", "h", "--tcp", "g", "a.QLB"});
  ASSERT_EQ(r.error, "");
  EXPECT_TRUE(r.options.repeat);
  EXPECT_EQ(r.options.mode, Mode::Upgrade);
  EXPECT_FALSE(Parse({"a.QLB"}).options.repeat);
  EXPECT_EQ(Parse({"--repeat", "--log=s.log", "a.QLB"}).options.logPath, "s.log");
  EXPECT_EQ(Parse({"--verify-only", "--log", "s.log", "a.QLB"}).options.logPath, "s.log");
  EXPECT_EQ(Parse({"--list-ports", "--json"}).error, "");
}

TEST(FlashOptions, AnErrorKnowsWhetherJsonWasAskedFor) {
  EXPECT_TRUE(Parse({"--json", "--bogus"}).jsonRequested);
  EXPECT_TRUE(Parse({"--bogus", "--json"}).jsonRequested);
  EXPECT_FALSE(Parse({"--bogus"}).jsonRequested);
  // After "--" it is a file name.
  EXPECT_FALSE(Parse({"--", "--json"}).jsonRequested);
}

TEST(FlashOptions, StrictLineSettings) {
  struct Case {
    const char* text;
    bool accepted;
  };
  const Case cases[] = {
      {"19200,e,8,1", true},   {"115200,N,8,2", true}, {" 9600 , o , 7 , 1.5 ", true},
      {"921600", true},        {"garbage", false},     {"", false},
      {"12345,e,8,1", false},  // the parser reads it, the system has no such speed
      {"9600,x,8,1", false},   {"9600,e,9,1", false},  {"9600,e,8,3", false},
      {"9600,e,8,1,1", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StrictLineSettings(c.text), c.accepted) << '"' << c.text << '"';
  }
}

TEST(FlashOptions, HelpAndVersionNeedNoFile) {
  EXPECT_EQ(Parse({"--help"}).error, "");
  EXPECT_TRUE(Parse({"--help"}).options.help);
  EXPECT_TRUE(Parse({"--version"}).options.version);
}

TEST(FlashJson, TextIsEscapedDeviceTextIsLatin1AndTimesAreToTheMillisecond) {
  EXPECT_EQ(JsonLine("a\"b\\c"), R"("a\"b\\c")");
  EXPECT_EQ(JsonLine(std::string("x\x01\x1b", 3)), R"("x\u0001\u001b")");
  EXPECT_EQ(JsonLine("更新完成."), "\"更新完成.\"");
  EXPECT_EQ(JsonLine(Latin1ToUtf8("\xE9")), "\"\xC3\xA9\"");
  EXPECT_EQ(JsonLine(Milliseconds(8.61849)), "8.618");
  EXPECT_EQ(JsonLine(Milliseconds(0.1 + 0.2)), "0.3");
}

}  // namespace
}  // namespace ql::flash
