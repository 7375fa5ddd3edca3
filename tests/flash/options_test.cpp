// The command line of ql480tx-flash: what it accepts, what it refuses.
#include <gtest/gtest.h>

#include "flash_view.h"
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
  EXPECT_EQ(r.options.devices[0].kind, settings::LinkKind::Tcp);
  EXPECT_EQ(r.options.devices[0].Label(), "127.0.0.1:5003");
  EXPECT_EQ(r.options.devices[1].Label(), "10.0.0.7:6000");
  EXPECT_EQ(r.options.firmwarePath, "image.QLB");
  EXPECT_EQ(r.options.deviceId, "0001");
  EXPECT_FALSE(r.options.connectOnly);
}

TEST(FlashOptions, SerialLinksTakeTheLineSettings) {
  const auto r = Parse({"--serial", "/dev/ttyUSB0", "--serial", "COM2", "--line", "115200,e,8,1",
                        "--connect-only", "--lang", "zh-TW", "--json", "a.QLB"});
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(r.options.devices.size(), 2u);
  EXPECT_EQ(r.options.devices[1].port, "COM2");
  EXPECT_EQ(r.options.devices[0].lineSettings, "115200,e,8,1");
  EXPECT_EQ(r.options.devices[1].lineSettings, "115200,e,8,1");
  EXPECT_TRUE(r.options.connectOnly);
  EXPECT_TRUE(r.options.json);
  EXPECT_EQ(r.options.language, text::Language::Traditional);
}

TEST(FlashOptions, SerialWithoutLineUsesTheDefault) {
  const auto r = Parse({"--serial", "/dev/ttyS1", "a.QLB"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.devices[0].lineSettings, "19200,e,8,1");
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

TEST(FlashOptions, HelpAndVersionNeedNoFile) {
  EXPECT_EQ(Parse({"--help"}).error, "");
  EXPECT_TRUE(Parse({"--help"}).options.help);
  EXPECT_TRUE(Parse({"--version"}).options.version);
}

TEST(FlashJson, StringsAreEscapedAndDeviceTextIsLatin1) {
  EXPECT_EQ(JsonString("a\"b\\c"), R"("a\"b\\c")");
  EXPECT_EQ(JsonString(std::string("x\x01\n", 3)), R"("x\u0001\u000a")");
  EXPECT_EQ(JsonString("更新完成."), "\"更新完成.\"");
  EXPECT_EQ(JsonString("\xE9", true), "\"\xC3\xA9\"");
}

TEST(FlashProgress, PhaseCountsBlocksDoneAndEndsAtTheMaximum) {
  PhaseProgress phase;
  EXPECT_FALSE(phase.Advance(0));  // a reset before the phase starts
  phase.Start(3);
  EXPECT_FALSE(phase.Advance(0));
  EXPECT_EQ(phase.done(), 1);
  EXPECT_FALSE(phase.Advance(1));
  EXPECT_EQ(phase.done(), 2);
  // Failure at block 2: the bar is still set to the maximum.
  EXPECT_TRUE(phase.Advance(3));
  EXPECT_EQ(phase.done(), 2);
  EXPECT_FALSE(phase.active());

  phase.Start(0);
  EXPECT_TRUE(phase.Advance(0));
  EXPECT_EQ(phase.done(), 0);
}

}  // namespace
}  // namespace ql::flash
