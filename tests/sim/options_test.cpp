// The emulator's command line: what each option sets, and the clear error
// for a value it cannot take.
#include "sim/options.h"

#include <gtest/gtest.h>

namespace ql::sim {
namespace {

using namespace std::chrono_literals;

ProgramOptions Parse(std::vector<std::string> args) {
  const ParsedOptions parsed = ParseOptions(args);
  EXPECT_EQ(parsed.error, "");
  return parsed.options;
}

TEST(OptionsTest, DefaultsServeTcpOnLoopbackPort5003) {
  const SimConfig config = Parse({}).config;
  EXPECT_EQ(config.link.type, LinkType::Tcp);
  EXPECT_EQ(config.link.address, "127.0.0.1");
  EXPECT_EQ(config.link.port, 5003);
  EXPECT_EQ(config.device.deviceId, "0001");
  EXPECT_EQ(config.device.rebootSilence, 3000ms);
  EXPECT_EQ(config.faults.handshakeFrameLength, 29);
}

TEST(OptionsTest, LinkAndDeviceOptions) {
  const ProgramOptions o =
      Parse({"--tcp", "127.0.0.2:0", "--id=0042", "--info", "QL481TX-V1", "--reboot-ms", "150",
             "--flash-in", "in.bin", "--flash-out=out.bin", "--quit-on-eof", "--quit-after-run",
             "--reply-times", "-v"});
  EXPECT_EQ(o.config.link.address, "127.0.0.2");
  EXPECT_EQ(o.config.link.port, 0);
  EXPECT_EQ(o.config.device.deviceId, "0042");
  EXPECT_EQ(o.config.device.deviceInfo, "QL481TX-V1");
  EXPECT_EQ(o.config.device.rebootSilence, 150ms);
  EXPECT_EQ(o.flashIn, "in.bin");
  EXPECT_EQ(o.config.device.flashOut, "out.bin");
  EXPECT_TRUE(o.quitOnEof && o.quitAfterRun && o.replyTimes && o.verbose);

  const ProgramOptions pty = Parse({"--pty", "--link", "/tmp/ttyQL"});
  EXPECT_EQ(pty.config.link.type, LinkType::Pty);
  EXPECT_EQ(pty.config.link.ptyLink, "/tmp/ttyQL");
}

TEST(OptionsTest, FaultOptions) {
  const FaultConfig f = Parse({"--drop-reply",
                               "3",
                               "--drop-reply",
                               "write:2",
                               "--late-reply",
                               "verify@350",
                               "--late-reply",
                               "all@1000",
                               "--bad-crc",
                               "handshake:1",
                               "--lowercase-crc",
                               "run",
                               "--duplicate-reply",
                               "verify:7",
                               "--drop-last-byte",
                               "write",
                               "--random-faults",
                               "25,99",
                               "--noise",
                               "all",
                               "--noise-bytes",
                               "41420d",
                               "--handshake-length",
                               "30",
                               "--flip-stored",
                               "5",
                               "--flip-readback",
                               "123:511:7",
                               "--refuse-write",
                               "7:5",
                               "--lowercase-readback",
                               "--hang-up-after",
                               "4",
                               "--pace",
                               "115200,8E1",
                               "--pace-requests"})
                            .config.faults;
  ASSERT_EQ(f.dropReply.size(), 2U);
  EXPECT_FALSE(f.dropReply[0].kind);
  EXPECT_EQ(f.dropReply[0].nth, 3U);
  EXPECT_EQ(f.dropReply[1].kind, CommandKind::Write);
  EXPECT_EQ(f.dropReply[1].nth, 2U);
  ASSERT_EQ(f.lateReply.size(), 2U);
  EXPECT_EQ(f.lateReply[0].when.kind, CommandKind::Verify);
  EXPECT_EQ(f.lateReply[0].when.nth, 0U);
  EXPECT_EQ(f.lateReply[0].delay, 350ms);
  EXPECT_FALSE(f.lateReply[1].when.kind);
  EXPECT_EQ(f.lateReply[1].delay, 1000ms);
  ASSERT_EQ(f.corruptCrc.size(), 1U);
  EXPECT_EQ(f.corruptCrc[0].kind, CommandKind::Handshake);
  ASSERT_EQ(f.lowercaseCrc.size(), 1U);
  EXPECT_EQ(f.lowercaseCrc[0].kind, CommandKind::Run);
  ASSERT_EQ(f.duplicateReply.size(), 1U);
  EXPECT_EQ(f.duplicateReply[0].kind, CommandKind::Verify);
  EXPECT_EQ(f.duplicateReply[0].nth, 7U);
  ASSERT_EQ(f.dropLastByte.size(), 1U);
  EXPECT_EQ(f.dropLastByte[0].kind, CommandKind::Write);
  EXPECT_EQ(f.dropLastByte[0].nth, 0U);
  EXPECT_EQ(f.random.perMille, 25U);
  EXPECT_EQ(f.random.seed, 99U);
  ASSERT_EQ(f.noiseBefore.size(), 1U);
  EXPECT_EQ(f.noise, "AB\r");
  EXPECT_EQ(f.handshakeFrameLength, 30);
  ASSERT_EQ(f.storedBitFlips.size(), 1U);
  EXPECT_EQ(f.storedBitFlips[0].block, 5);
  EXPECT_EQ(f.storedBitFlips[0].byte, 0);
  ASSERT_EQ(f.readbackBitFlips.size(), 1U);
  EXPECT_EQ(f.readbackBitFlips[0].byte, 511);
  EXPECT_EQ(f.readbackBitFlips[0].bit, 7);
  ASSERT_EQ(f.refusedWrites.size(), 1U);
  EXPECT_EQ(f.refusedWrites[0].block, 7);
  EXPECT_EQ(f.refusedWrites[0].tries, 5);
  EXPECT_TRUE(f.lowercaseReadback);
  EXPECT_EQ(f.hangUpAfterCommands, 4U);
  EXPECT_EQ(f.pacing.baud, 115200U);
  EXPECT_DOUBLE_EQ(f.pacing.bitsPerByte, 11.0);
  EXPECT_TRUE(f.pacing.requests);
}

TEST(OptionsTest, EchoGlitchStaleLatencyAndPauseOptions) {
  const FaultConfig f =
      Parse({"--echo", "all", "--echo", "verify", "--glitch", "verify:3", "--glitch-byte", "ff",
             "--stale-before", "verify:2", "--stale-after", "write", "--latency", "150",
             "--pause-in-reply", "verify@3", "--pause-in-reply", "handshake:1@2.5:20"})
          .config.faults;
  ASSERT_EQ(f.echoRequest.size(), 2U);
  EXPECT_FALSE(f.echoRequest[0].kind);
  EXPECT_EQ(f.echoRequest[1].kind, CommandKind::Verify);
  ASSERT_EQ(f.glitchBefore.size(), 1U);
  EXPECT_EQ(f.glitchBefore[0].nth, 3U);
  EXPECT_EQ(f.glitchByte, 0xFF);
  ASSERT_EQ(f.staleBefore.size(), 1U);
  EXPECT_EQ(f.staleBefore[0].nth, 2U);
  ASSERT_EQ(f.staleAfter.size(), 1U);
  EXPECT_EQ(f.staleAfter[0].kind, CommandKind::Write);
  EXPECT_EQ(f.replyLatency, 150ms);
  ASSERT_EQ(f.replyPauses.size(), 2U);
  EXPECT_EQ(f.replyPauses[0].when.kind, CommandKind::Verify);
  EXPECT_EQ(f.replyPauses[0].hold, 3ms);
  EXPECT_FALSE(f.replyPauses[0].at);
  EXPECT_EQ(f.replyPauses[1].when.nth, 1U);
  EXPECT_EQ(f.replyPauses[1].hold, 2500us);
  EXPECT_EQ(f.replyPauses[1].at, 20U);
  EXPECT_EQ(Parse({}).config.faults.glitchByte, 0x00);
}

TEST(OptionsTest, LineFramingGivesTheBitsOfEachByte) {
  const struct {
    const char* text;
    double bits;
  } cases[] = {{"9600", 10.0},        {"115200,8N1", 10.0}, {"115200,8e1", 11.0},
               {"19200,7O2", 11.0},   {"4800,8N1.5", 10.5}, {"921600,5S1", 8.0},
               {"19200,e,8,1", 11.0}, {"19200,n,7,2", 10.0}};
  for (const auto& c : cases) {
    const auto pacing = ParsePacing(c.text);
    ASSERT_TRUE(pacing) << c.text;
    EXPECT_DOUBLE_EQ(pacing->bitsPerByte, c.bits) << c.text;
  }
  EXPECT_EQ(ParsePacing("115200,8E1")->ByteTime(), std::chrono::nanoseconds(95486));
}

TEST(OptionsTest, BadCommandLinesAreRefusedWithAReason) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},
      {"--tcp"},
      {"--tcp", "99999"},
      {"--tcp", "localhost:5003"},
      {"--pty", "--tcp", "0"},
      {"--link", "/tmp/ttyQL"},
      {"--id", "01"},
      {"--info", "QL480TX-V5-TOO-LONG"},
      {"--reboot-ms", "-5"},
      {"--drop-reply", "0"},
      {"--drop-reply", "write:0"},
      {"--drop-reply", "erase:1"},
      {"--late-reply", "write"},
      {"--late-reply", "write@soon"},
      {"--noise-bytes", "0203"},
      {"--noise-bytes", "ABC"},
      {"--handshake-length", "6"},
      {"--flip-stored", "124"},
      {"--flip-readback", "1:512"},
      {"--flip-readback", "1:0:8"},
      {"--refuse-write", "3"},
      {"--random-faults", "1001"},
      {"--random-faults", "10,"},
      {"--random-faults", "ten"},
      {"--hang-up-after", "0"},
      {"--pace", "0"},
      {"--pace", "115200,9N1"},
      {"--pace", "115200,8X1"},
      {"--pace", "115200,8N3"},
      {"--verbose=yes"},
      {"--pace-requests"},
      {"--echo", "verify:0"},
      {"--glitch-byte", "03"},
      {"--glitch-byte", "00FF"},
      {"--latency", "-1"},
      {"--latency", "0.5"},
      {"--pause-in-reply", "verify"},
      {"--pause-in-reply", "verify@"},
      {"--pause-in-reply", "verify@3:"},
      {"--pause-in-reply", "verify@3.1234"},
      {"--pause-in-reply", "verify@3:1499"},
      {"--pause-in-reply", "sometimes@3"},
  };
  for (const auto& args : cases) {
    EXPECT_NE(ParseOptions(args).error, "") << args[0] << (args.size() > 1 ? " " + args[1] : "");
  }
}

}  // namespace
}  // namespace ql::sim
