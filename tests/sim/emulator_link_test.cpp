// The emulator against the utility's own link layer and command exchange, on
// the real clock, over TCP on 127.0.0.1 and over a pseudo-terminal opened as
// a serial port: every command, and every fault as the exchange must see it.
#include <gtest/gtest.h>

#include "link/clock.h"
#include "link/command_exchange.h"
#include "link/frame.h"
#include "link/link.h"
#include "sim/emulator.h"
#include "sim_test_util.h"
#include "support/counting_transport.h"

namespace ql::sim {
namespace {

using namespace std::chrono_literals;
using testing_support::BlockHex;
using testing_support::Bytes;
using testing_support::Pattern;
using testing_support::WritePayload;

// Positions of a reply as the utility reads it: the data begins at offset 7.
constexpr std::size_t kDataOffset = 7;
const std::string kErasedBlockHex(1024, 'F');

class EmulatorOverLinkTest : public ::testing::TestWithParam<LinkType> {
 protected:
  void Serve(SimConfig config) {
    link_.reset();
    exchange_.reset();
    config.link.type = GetParam();
    emulator_ = testing_support::StartEmulator(config);
  }

  // Opens the utility's link to the emulator, as a procedure does.
  void Connect() {
    exchange_.reset();
    link::LinkSettings settings;
    if (GetParam() == LinkType::Tcp) {
      settings.linkKind = link::LinkKind::Tcp;
      settings.netIp = "127.0.0.1";
      settings.netPort = std::to_string(emulator_->Port());
    } else {
      settings.linkKind = link::LinkKind::Serial;
      settings.comPortName = emulator_->SlavePath();
      settings.comBaudRate = "115200,e,8,1";
    }
    link_ = link::OpenLink(settings);
    ASSERT_NE(link_, nullptr);
    counted_ = std::make_unique<testing_support::CountingTransport>(*link_);
    exchange_ = std::make_unique<link::CommandExchange>(*counted_, clock_);
  }

  bool Exchange(const std::string& payload) { return exchange_->ExchangeCommand(payload); }

  // Counts the reads of one exchange.
  bool CountedExchange(const std::string& payload) {
    counted_->reads = 0;
    counted_->emptyReads = 0;
    return Exchange(payload);
  }

  // The exchange's result and how long it took.
  std::pair<bool, std::chrono::milliseconds> TimedExchange(const std::string& payload) {
    const auto start = std::chrono::steady_clock::now();
    const bool accepted = Exchange(payload);
    return {accepted, std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start)};
  }

  std::string Data(std::size_t length) const {
    return exchange_->ResponseText().substr(kDataOffset, length);
  }

  link::SystemClock clock_;
  std::unique_ptr<Emulator> emulator_;
  std::unique_ptr<link::Transport> link_;
  std::unique_ptr<testing_support::CountingTransport> counted_;
  std::unique_ptr<link::CommandExchange> exchange_;
};

TEST_P(EmulatorOverLinkTest, CleanExchangeOfEveryCommand) {
  SimConfig config;
  config.device.rebootSilence = 2s;
  Serve(config);
  Connect();
  ASSERT_TRUE(Exchange("0001Zx5E2D"));
  EXPECT_EQ(exchange_->ReplyLength(), 29);
  EXPECT_EQ(Data(16), "QL480TX-V5      ");

  const Bytes data = Pattern(3);
  EXPECT_TRUE(Exchange(WritePayload("0001", 3, data)));
  ASSERT_TRUE(Exchange("0001Zv0600"));
  EXPECT_EQ(exchange_->ReplyLength(), 1037);
  EXPECT_EQ(Data(1024), BlockHex(data));
  ASSERT_TRUE(Exchange("0001Zv0800"));
  EXPECT_EQ(Data(1024), kErasedBlockHex);

  EXPECT_TRUE(Exchange("0001ZrC71A"));
  EXPECT_FALSE(Exchange("0001Zx5E2D")) << "a rebooting device is silent";
}

TEST_P(EmulatorOverLinkTest, ANewLinkAfterTheLastOneClosedIsServed) {
  Serve(SimConfig{});
  for (int procedure = 0; procedure < 3; ++procedure) {
    Connect();
    EXPECT_TRUE(Exchange("0001Zx5E2D")) << "procedure " << procedure;
    link_->Close();
  }
}

TEST_P(EmulatorOverLinkTest, LateReplyFailsItsWindowAndIsTakenByTheNextExchange) {
  SimConfig config;
  config.faults.lateReply = {{.when = {.kind = CommandKind::Handshake, .nth = 1}, .delay = 450ms}};
  Serve(config);
  Connect();
  EXPECT_FALSE(Exchange("0001Zx5E2D"));
  // The read-back's exchange gets the late handshake reply, and the one
  // after it the read-back reply that queued behind it.
  ASSERT_TRUE(Exchange("0001Zv0000"));
  EXPECT_EQ(exchange_->ReplyLength(), 29);
  EXPECT_EQ(Data(16), "QL480TX-V5      ");
  ASSERT_TRUE(Exchange("0001Zv0000"));
  EXPECT_EQ(Data(1024), kErasedBlockHex);
}

TEST_P(EmulatorOverLinkTest, DroppedReplyFailsButTheCommandWasCarriedOut) {
  SimConfig config;
  config.faults.dropReply = {{.kind = CommandKind::Write, .nth = 1}};
  Serve(config);
  Connect();
  const Bytes data = Pattern(8);
  EXPECT_FALSE(Exchange(WritePayload("0001", 0, data)));
  ASSERT_TRUE(Exchange("0001Zv0000"));
  EXPECT_EQ(Data(1024), BlockHex(data));
}

TEST_P(EmulatorOverLinkTest, WrongCrcIsRejectedAtOnce) {
  SimConfig config;
  config.faults.corruptCrc = {{.kind = CommandKind::Handshake, .nth = 1}};
  Serve(config);
  Connect();
  EXPECT_FALSE(CountedExchange("0001Zx5E2D"));
  EXPECT_EQ(counted_->emptyReads, 0) << "no waiting out the window";
  EXPECT_EQ(exchange_->ResponseText().size(), 29U) << "the rejected frame is kept";
  EXPECT_TRUE(Exchange("0001Zx5E2D")) << "only the first handshake was struck";
}

TEST_P(EmulatorOverLinkTest, LowercaseCrcIsRejected) {
  const auto clean = link::BuildReply("0001Zv" + kErasedBlockHex);
  ASSERT_TRUE(std::any_of(clean.end() - 5, clean.end() - 1, [](std::uint8_t c) {
    return c >= 'A';
  })) << "the read-back of an erased block must have a letter in its CRC";
  SimConfig config;
  config.faults.lowercaseCrc = {{.kind = CommandKind::Verify, .nth = 0}};
  Serve(config);
  Connect();
  EXPECT_FALSE(CountedExchange("0001Zv0000"));
  EXPECT_EQ(counted_->emptyReads, 0) << "no waiting out the window";
}

TEST_P(EmulatorOverLinkTest, HandshakeOfTheWrongLengthIsAcceptedWithThatLength) {
  for (const int length : {28, 30}) {
    SimConfig config;
    config.faults.handshakeFrameLength = length;
    Serve(config);
    Connect();
    EXPECT_TRUE(Exchange("0001Zx5E2D")) << length;
    EXPECT_EQ(exchange_->ReplyLength(), length);
  }
}

TEST_P(EmulatorOverLinkTest, NoiseBeforeTheFrameIsStillAccepted) {
  SimConfig config;
  config.faults.noiseBefore = {{}};
  Serve(config);
  Connect();
  ASSERT_TRUE(Exchange("0001Zx5E2D"));
  EXPECT_EQ(exchange_->ReplyLength(), 29);
  EXPECT_EQ(exchange_->ResponseText().front(), '\x03');
}

TEST_P(EmulatorOverLinkTest, ClosedLinkFailsWithoutSpinning) {
  SimConfig config;
  config.faults.hangUpAfterCommands = 1;
  Serve(config);
  Connect();
  EXPECT_TRUE(Exchange("0001Zx5E2D"));
  ASSERT_TRUE(emulator_->WaitUntil([](const Counters& c) { return c.hangUps == 1; }, 30s));
  // The exchange ends by itself and waits on the dead link rather than
  // spinning on it.
  EXPECT_FALSE(CountedExchange("0001Zx5E2D"));
  EXPECT_LE(counted_->reads, 10);
}

TEST_P(EmulatorOverLinkTest, BitFlipShowsInReadBack) {
  const BitFlip flip{.block = 2, .byte = 1, .bit = 4};
  for (const bool inFlash : {true, false}) {
    SimConfig config;
    (inFlash ? config.faults.storedBitFlips : config.faults.readbackBitFlips) = {flip};
    Serve(config);
    Connect();
    const Bytes data = Pattern(2);
    ASSERT_TRUE(Exchange(WritePayload("0001", 2, data)));
    ASSERT_TRUE(Exchange("0001Zv0400"));
    Bytes flipped = data;
    flipped[1] ^= 0x10;
    EXPECT_EQ(Data(1024), BlockHex(flipped));
    const auto flash = emulator_->Flash();
    EXPECT_EQ(flash[2 * kBlockSize + 1], inFlash ? flipped[1] : data[1]);
  }
}

TEST_P(EmulatorOverLinkTest, MalformedWritesAreRefused) {
  Serve(SimConfig{});
  Connect();
  std::string lowercase = BlockHex(Pattern(6));
  lowercase[0] = 'a';
  for (const std::string& payload : {"0001Zp0000" + lowercase, "0001Zp0100" + BlockHex(Pattern(6)),
                                     "0001ZpF800" + BlockHex(Pattern(6))}) {
    EXPECT_FALSE(Exchange(payload)) << payload.substr(0, 10);
  }
  const auto flash = emulator_->Flash();
  EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](std::uint8_t b) { return b == 0xFF; }));
  EXPECT_EQ(emulator_->GetCounters().other, 3U);
}

TEST_P(EmulatorOverLinkTest, WrongDeviceIdIsIgnored) {
  Serve(SimConfig{});
  Connect();
  EXPECT_FALSE(Exchange("0002Zx5E2D"));
  EXPECT_TRUE(Exchange("0001Zx5E2D"));
  EXPECT_EQ(emulator_->GetCounters().otherDevice, 1U);
}

TEST_P(EmulatorOverLinkTest, RefusedWriteSucceedsOnItsFifthTry) {
  SimConfig config;
  config.faults.refusedWrites = {{.block = 1, .tries = 4}};
  Serve(config);
  Connect();
  const std::string write = WritePayload("0001", 1, Pattern(1));
  for (int attempt = 1; attempt <= 4; ++attempt) {
    EXPECT_FALSE(Exchange(write)) << "try " << attempt;
  }
  EXPECT_TRUE(Exchange(write));
}

TEST_P(EmulatorOverLinkTest, PacedReadBackStillFitsTheWindow) {
  SimConfig config;
  config.faults.pacing = {.baud = 115200, .bitsPerByte = 11, .requests = false};
  Serve(config);
  Connect();
  const auto [accepted, took] = TimedExchange("0001Zv0000");
  EXPECT_TRUE(accepted);
  EXPECT_EQ(exchange_->ReplyLength(), 1037);
  EXPECT_GE(took, 99ms) << "1037 bytes of 11 bits at 115200 baud";
}

INSTANTIATE_TEST_SUITE_P(BothLinks, EmulatorOverLinkTest,
                         ::testing::Values(LinkType::Tcp, LinkType::Pty), [](const auto& info) {
                           return info.param == LinkType::Tcp ? "Tcp" : "Pty";
                         });

}  // namespace
}  // namespace ql::sim
