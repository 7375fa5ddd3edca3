// The connect procedure on the virtual clock: what the device receives and
// when, what the operator is told, what reaches the store, and the time it
// all takes.
#include <gtest/gtest.h>

#include <atomic>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "harness.h"
#include "text/message_table.h"

namespace ql::testing_support {
namespace {

namespace msg = text::msg;
using upgrade::ConnectInputs;
using upgrade::ConnectProcedure;
using upgrade::ConnectResult;

class ConnectProcedureTest : public ::testing::Test {
 protected:
  ConnectProcedureTest() : firmware_("QL480TX-V5", PatternImage(3 * 512 + 100)) {
    inputs_.link = {link::LinkKind::Tcp, "COM7", "115200,n,8,1", "127.0.0.1", "5003"};
    inputs_.deviceId = "0001";
    inputs_.fileVersionText = "QL480TX-V5";
    inputs_.selectedHeader = "QL480TX-V5";
    inputs_.firmwarePath = firmware_.path();
  }

  ConnectResult Run() { return ConnectProcedure(inputs_, h_.state, h_.env); }
  std::vector<std::string> Messages() const { return Matching(h_.log, "msg"); }

  Harness h_;
  TempFirmware firmware_;
  ConnectInputs inputs_;
};

TEST_F(ConnectProcedureTest, MatchingDeviceEnablesUpgradeAndLoadsTheImage) {
  const std::uint32_t start = h_.clock.NowMs();
  EXPECT_EQ(Run(), ConnectResult::Matched);

  // The pause before the handshake, the one after its reply, and the tone's
  // before the link closes.
  EXPECT_TRUE(InOrder(h_.log, {"open", "sleep 100", "send 0001Zx5E2D", "sleep 100",
                               "device QL480TX-V5      ", "model matched", "image loaded 4",
                               "tone 1000 300", "sleep 300", "close", "finish done"}));
  EXPECT_EQ(Messages(), (std::vector<std::string>{Msg(msg::kConnecting), Msg(msg::kConnectOk)}));
  EXPECT_EQ(h_.state.deviceFamily, "02200001");
  EXPECT_EQ(h_.state.blockCount, 4);  // ceil((16 + 1636 - 10) / 512)
  EXPECT_EQ(h_.state.blockTable.Block(0)[1], PatternImage(2)[1]);
  EXPECT_EQ(h_.device.handshakes, 1);
  // 100 ms before the handshake, its reply, 100 ms before the model check,
  // and the tone's 300 ms before the link closes.
  const std::uint32_t took = h_.clock.NowMs() - start;
  EXPECT_GE(took, 500u);
  EXPECT_LT(took, 550u);
}

TEST_F(ConnectProcedureTest, TheChosenLinkIsOpenedAndStoredAfterTheHandshake) {
  h_.state.link.comPortName = "COM3";
  ASSERT_EQ(Run(), ConnectResult::Matched);

  EXPECT_EQ(h_.openedWith, std::vector{inputs_.link});
  EXPECT_EQ(h_.state.link, inputs_.link);
  EXPECT_EQ(h_.storedLinks, std::vector{inputs_.link});
}

// The device waits 100 ms after its handshake reply whatever storing the
// link settings takes: the window stores them, the command-line program
// does not, and the device must not tell the two apart.
TEST_F(ConnectProcedureTest, StoringTheLinkFallsInsideThePauseAfterTheHandshake) {
  // The pause is asked for whole and counts from the reply, so the store's
  // writes (five values) come out of it.
  const struct {
    std::uint32_t writeMs;
    std::uint32_t replyToCloseMs;
  } cases[] = {
      {0, 100 + 300},
      {8, 100 + 300},
      {30, 5 * 30 + 300},  // a store slower than the pause is waited for
  };
  for (const auto& c : cases) {
    Harness h;
    // Five values, each flushed to disk as a settings file does.
    h.env.storeLink = [&h, &c](const link::LinkSettings& link) {
      h.clock.Advance(5 * c.writeMs);
      h.storedLinks.push_back(link);
    };
    h.device.replyDelayMs = 0;
    const std::uint32_t start = h.clock.NowMs();
    EXPECT_EQ(ConnectProcedure(inputs_, h.state, h.env), ConnectResult::Matched) << c.writeMs;
    const auto handshake = std::find(h.log.begin(), h.log.end(), "send 0001Zx5E2D");
    const auto device = std::find(h.log.begin(), h.log.end(), "device QL480TX-V5      ");
    ASSERT_LT(handshake, device) << c.writeMs;
    const std::vector<std::string> between(handshake + 1, device);
    EXPECT_EQ(between, std::vector<std::string>{"sleep 100"}) << c.writeMs;
    // The reply comes at once after the first 100 ms; nothing after the
    // close takes time.
    EXPECT_EQ(h.clock.NowMs() - start, 100 + c.replyToCloseMs) << c.writeMs;
    EXPECT_EQ(h.storedLinks.size(), 1u) << c.writeMs;
  }
}

TEST_F(ConnectProcedureTest, ASerialLinkIsOpenedAndStoredAsSerial) {
  inputs_.link.linkKind = link::LinkKind::Serial;
  ASSERT_EQ(Run(), ConnectResult::Matched);
  EXPECT_EQ(h_.openedWith[0].linkKind, link::LinkKind::Serial);
  EXPECT_EQ(h_.openedWith[0].comPortName, "COM7");
  ASSERT_EQ(h_.storedLinks.size(), 1u);
  EXPECT_EQ(h_.storedLinks[0].linkKind, link::LinkKind::Serial);
}

TEST_F(ConnectProcedureTest, LinkThatDoesNotOpenSendsNothingAndStoresNothing) {
  h_.openFails = true;
  EXPECT_EQ(Run(), ConnectResult::LinkNotOpened);
  EXPECT_TRUE(
      InOrder(h_.log, {"open failed", "link not opened No such device", Msg(msg::kConnectError),
                       "tone 300 300", "sleep 300", "finish link not opened"}));
  EXPECT_TRUE(Matching(h_.log, "send").empty());
  EXPECT_TRUE(Matching(h_.log, "close").empty());
  EXPECT_TRUE(h_.storedLinks.empty());
  EXPECT_TRUE(h_.state.deviceFamily.empty());

  // A stop that cut the wait for the link is a stop: no message, no tone.
  h_.log.clear();
  std::atomic<bool> stop{true};
  h_.env.stopRequested = &stop;
  EXPECT_EQ(Run(), ConnectResult::Interrupted);
  EXPECT_TRUE(Matching(h_.log, "link not opened").empty());
  EXPECT_TRUE(Matching(h_.log, "tone").empty());
  EXPECT_EQ(h_.log.back(), "finish stopped");
  h_.env.stopRequested = nullptr;
}

TEST_F(ConnectProcedureTest, SilentDeviceGetsThreeAttemptsWithTheCountdown) {
  h_.device.silentHandshakes = {0, 1, 2};
  const std::uint32_t start = h_.clock.NowMs();
  EXPECT_EQ(Run(), ConnectResult::NoHandshake);

  EXPECT_EQ(Messages(),
            (std::vector<std::string>{Msg(msg::kConnecting), Msg(msg::kConnecting, " ( 9 )"),
                                      Msg(msg::kConnecting, " ( 8 )"),
                                      Msg(msg::kConnecting, " ( 7 )"), Msg(msg::kConnectError)}));
  EXPECT_EQ(h_.device.handshakes, 3);
  EXPECT_TRUE(InOrder(h_.log, {"handshake failed 3", "close", "device not found", "tone 300 300",
                               "sleep 300", "finish no device"}));
  EXPECT_TRUE(h_.storedLinks.empty());
  EXPECT_TRUE(Matching(h_.log, "device QL").empty());
  // Three times 100 ms of pause and a full reply window, then the tone.
  const std::uint32_t took = h_.clock.NowMs() - start;
  EXPECT_GE(took, 3 * 401u + 300);
  EXPECT_LE(took, 3 * 403u + 300);
}

TEST_F(ConnectProcedureTest, FailedConnectAfterAGoodOneKeepsTheFamily) {
  h_.state.deviceFamily = "02200001";
  h_.device.silentHandshakes = {0, 1, 2};
  EXPECT_EQ(Run(), ConnectResult::NoHandshake);
  EXPECT_EQ(h_.state.deviceFamily, "02200001");
}

TEST_F(ConnectProcedureTest, HandshakeReplyOfTheWrongLengthIsAFailedAttempt) {
  for (int extra : {-1, +1}) {
    Harness h;
    h.device.handshakeBodyExtra = extra;
    EXPECT_EQ(ConnectProcedure(inputs_, h.state, h.env), ConnectResult::NoHandshake)
        << "reply of " << 29 + extra << " bytes";
    EXPECT_EQ(h.device.handshakes, 3);
    EXPECT_TRUE(h.state.deviceFamily.empty());
  }
}

TEST_F(ConnectProcedureTest, LateReplyIsTakenByTheNextAttempt) {
  h_.device.lateHandshakes = {0};
  EXPECT_EQ(Run(), ConnectResult::Matched);
  EXPECT_EQ(h_.device.handshakes, 2);
  // The countdown of the first attempt stays until the result replaces it.
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{Msg(msg::kConnecting), Msg(msg::kConnecting, " ( 9 )"),
                                      Msg(msg::kConnectOk)}));
}

TEST_F(ConnectProcedureTest, SuccessOnTheSecondAttempt) {
  h_.device.silentHandshakes = {0};
  EXPECT_EQ(Run(), ConnectResult::Matched);
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{Msg(msg::kConnecting), Msg(msg::kConnecting, " ( 9 )"),
                                      Msg(msg::kConnectOk)}));
}

TEST_F(ConnectProcedureTest, ModelMismatchStoresTheLinkButLoadsNothing) {
  h_.device.info = "QL481TX-V1      ";
  h_.state.blockCount = 9;
  EXPECT_EQ(Run(), ConnectResult::ModelMismatch);
  EXPECT_TRUE(InOrder(h_.log, {"device QL481TX-V1      ", Msg(msg::kFileTypeError), "tone 300 300",
                               "sleep 300", "close", "finish model mismatch"}));
  EXPECT_FALSE(h_.storedLinks.empty());
  EXPECT_EQ(h_.state.deviceFamily, "02200001");
  EXPECT_EQ(h_.state.blockCount, 9);
  EXPECT_TRUE(Matching(h_.log, "image").empty());
}

TEST_F(ConnectProcedureTest, ModelComparisonIsCaseSensitiveOverSevenCharacters) {
  struct Case {
    const char* device;
    const char* header;
    ConnectResult expected;
  };
  for (const Case& c : {
           Case{"QL480TX-V5      ", "QL480TX-V5", ConnectResult::Matched},
           Case{"QL480TX-V9 other", "QL480TXsomething", ConnectResult::Matched},
           Case{"ql480tx-v5      ", "QL480TX-V5", ConnectResult::ModelMismatch},
           Case{"QL480TX-V5      ", "QL480tX-V5", ConnectResult::ModelMismatch},
           Case{"QL480TX-V5      ", "QL480T", ConnectResult::ModelMismatch},
       }) {
    Harness h;
    h.device.info = c.device;
    ConnectInputs inputs = inputs_;
    inputs.fileVersionText = c.header;
    EXPECT_EQ(ConnectProcedure(inputs, h.state, h.env), c.expected)
        << c.device << " / " << c.header;
  }
}

// Writes `bytes` over the file at `path`, as a copy over it would.
void Overwrite(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
}

// Every way a load can fail ends the same: a blank table, BlockCount 0, the
// load error after "Connect device ok.", the low tone.
TEST_F(ConnectProcedureTest, ImageThatCannotBeLoadedNeverReachesTheDevice) {
  const auto preloaded = [](std::string header, std::size_t imageBytes) {
    auto file = std::make_shared<image::FirmwareFile>();
    file->headerText = header;
    file->image = PatternImage(imageBytes);
    file->length = static_cast<std::int64_t>(16 + imageBytes);
    return file;
  };
  const struct {
    const char* name;
    std::function<void(ConnectInputs&)> set;
  } cases[] = {
      {"file gone",
       [](ConnectInputs& in) { in.firmwarePath = in.firmwarePath.parent_path() / "x"; }},
      {"another file of the same model put in its place since selection",
       [](ConnectInputs& in) {
         Overwrite(in.firmwarePath, std::string("QL480TX-V5 2.00\0", 16) + "new image bytes");
       }},
      {"header only",
       [](ConnectInputs& in) {
         Overwrite(in.firmwarePath, std::string("QL480TX-V5\0\0\0\0\0", 15));
       }},
      {"read before, with no image",
       [&preloaded](ConnectInputs& in) { in.firmware = preloaded("QL480TX-V5", 0); }},
      {"read before, another header than selected",
       [&preloaded](ConnectInputs& in) { in.firmware = preloaded("QL480TX-V5 2.00", 600); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    h.state.blockCount = 17;  // left from an earlier load
    h.state.blockTable.Row(0)[0] = 0x12;
    const TempFirmware firmware("QL480TX-V5", PatternImage(3 * 512 + 100));
    ConnectInputs inputs = inputs_;
    inputs.firmwarePath = firmware.path();
    c.set(inputs);
    EXPECT_EQ(ConnectProcedure(inputs, h.state, h.env), ConnectResult::LoadFailed);
    EXPECT_EQ(h.state.blockCount, 0);
    EXPECT_EQ(h.state.blockTable.Block(0)[0], 0xFF);
    EXPECT_TRUE(InOrder(h.log, {Msg(msg::kConnectOk), "image not loaded", Msg(msg::kLoadFileError),
                                "tone 300 300", "sleep 300", "close", "finish load failed"}));
    EXPECT_TRUE(Matching(h.log, "image loaded").empty());
  }
}

// The image read before the procedure is the one loaded and written, even
// when the file has since been replaced by another model's file.
TEST_F(ConnectProcedureTest, ImageReadBeforeIsWhatTheDeviceReceives) {
  const image::FirmwareRead read = image::ReadFirmwareFile(firmware_.path());
  ASSERT_TRUE(read.Ok());
  inputs_.firmware = std::make_shared<const image::FirmwareFile>(read.file);
  Overwrite(firmware_.path(), std::string("QL481TX-V1\0\0\0\0\0\0", 16) + "other");

  ASSERT_EQ(Run(), ConnectResult::Matched);
  ASSERT_EQ(h_.state.blockCount, 4);
  ASSERT_EQ(upgrade::UpgradeSequence("0001", h_.state, h_.env), upgrade::UpgradeResult::UpgradeOk);
  const std::vector<std::uint8_t> image = PatternImage(3 * 512 + 100);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), h_.device.flash.begin()));
}

// The device waits through every tone: each one is followed at once by a
// pause of its length on the procedure's clock, whatever the front end does.
TEST_F(ConnectProcedureTest, EveryRoadPausesForItsTone) {
  const struct {
    const char* name;
    std::function<void(Harness&, ConnectInputs&)> set;
    ConnectResult expected;
  } roads[] = {
      {"matched", [](Harness&, ConnectInputs&) {}, ConnectResult::Matched},
      {"not opened", [](Harness& h, ConnectInputs&) { h.openFails = true; },
       ConnectResult::LinkNotOpened},
      {"silent",
       [](Harness& h, ConnectInputs&) {
         h.device.silentHandshakes = {0, 1, 2};
       },
       ConnectResult::NoHandshake},
      {"other model", [](Harness& h, ConnectInputs&) { h.device.info = "QL481TX-V1      "; },
       ConnectResult::ModelMismatch},
      {"file gone",
       [](Harness&, ConnectInputs& in) { in.firmwarePath = in.firmwarePath.parent_path() / "x"; },
       ConnectResult::LoadFailed},
  };
  for (const auto& road : roads) {
    Harness h;
    ConnectInputs inputs = inputs_;
    road.set(h, inputs);
    EXPECT_EQ(ConnectProcedure(inputs, h.state, h.env), road.expected) << road.name;
    EXPECT_EQ(Matching(h.log, "tone").size(), 1u) << road.name;
    EXPECT_TRUE(TonesWithoutTheirPause(h.log).empty()) << road.name;
  }
}

TEST_F(ConnectProcedureTest, DeviceIdIsPutInFrontOfTheHandshake) {
  inputs_.deviceId = "0002";
  h_.device.deviceId = "0002";
  EXPECT_EQ(Run(), ConnectResult::Matched);
  EXPECT_EQ(Matching(h_.log, "send"), std::vector<std::string>{"send 0002Zx5E2D"});
}

}  // namespace
}  // namespace ql::testing_support
