// The connect procedure against the emulator: a link that does not open, a
// device that never answers properly, a late answer, the model check, and
// when and how the link settings reach the store.
#include <QTemporaryDir>
#include <chrono>
#include <filesystem>

#include "road_fixture.h"
#include "settings/qsettings_store.h"
#include "text/message_table.h"

namespace ql::testing_support {
namespace {

namespace msg = text::msg;
using namespace std::chrono_literals;
using upgrade::ConnectResult;
using MessageList = std::vector<std::string>;

class ConnectRoad : public DeviceRoad {
 protected:
  // 700 image bytes and the six repeats of the last: two blocks.
  TempFirmware file_{kHeader, PatternImage(700)};
};

TEST_P(ConnectRoad, LinkThatDoesNotOpenFailsConnectAndUpgradeWithTheirOwnMessages) {
  Serve();
  settings::LinkControls controls = Controls();
  if (Link() == sim::LinkType::Tcp) {
    emulator_->Stop();  // nothing listens on its port any more
  } else {
    controls.port = (std::filesystem::temp_directory_path() / "ql-e2e-no-such-tty").string();
  }

  EXPECT_EQ(Connect(controls, file_.path()), ConnectResult::LinkNotOpened);
  EXPECT_EQ(Messages(), (MessageList{Msg(msg::kConnecting), Msg(msg::kConnectError)}));
  EXPECT_TRUE(InOrder(log_, {"tone 300 300", "finish link not opened"}));
  EXPECT_FALSE(store_.keyExists);
  EXPECT_TRUE(state_.deviceFamily.empty());

  // The upgrade opens the link the connect took, and says so differently.
  log_.clear();
  state_.deviceFamily = image::kDeviceFamily;
  state_.blockCount = 1;
  EXPECT_EQ(Upgrade(), upgrade::UpgradeResult::LinkNotOpened);
  EXPECT_EQ(Messages(), (MessageList{Msg(msg::kOpenPortError)}));
  EXPECT_TRUE(InOrder(log_, {"tone 300 300", "finish link not opened"}));
}

TEST_P(ConnectRoad, DeviceWithoutAValidHandshakeReplyCountsDownNineEightSeven) {
  struct Case {
    const char* name;
    sim::FaultConfig faults;
    sim::DeviceConfig device;
  };
  const sim::CommandSelector everyHandshake{sim::CommandKind::Handshake, 0};
  sim::DeviceConfig otherDevice;
  otherDevice.deviceId = "0002";
  const Case cases[] = {
      {"no reply", Faults([&](auto& f) { f.dropReply = {everyHandshake}; }), {}},
      {"wrong CRC", Faults([&](auto& f) { f.corruptCrc = {everyHandshake}; }), {}},
      {"28-byte reply", Faults([](auto& f) { f.handshakeFrameLength = 28; }), {}},
      {"30-byte reply", Faults([](auto& f) { f.handshakeFrameLength = 30; }), {}},
      {"another device ID", {}, otherDevice},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    Serve(c.faults, c.device);
    FrameCounter frames;
    env_.observer = &frames;

    EXPECT_EQ(Connect(file_.path()), ConnectResult::NoHandshake);
    env_.observer = nullptr;
    EXPECT_EQ(frames.sent, 3) << "three tries, no more";
    EXPECT_EQ(Messages(), (MessageList{Msg(msg::kConnecting), Msg(msg::kConnecting, " ( 9 )"),
                                       Msg(msg::kConnecting, " ( 8 )"),
                                       Msg(msg::kConnecting, " ( 7 )"), Msg(msg::kConnectError)}));
    EXPECT_EQ(log_.back(), "finish no device");
    EXPECT_TRUE(Matching(log_, "device QL").empty());
    EXPECT_TRUE(state_.deviceFamily.empty());
    EXPECT_EQ(state_.blockCount, 0);
    EXPECT_FALSE(store_.keyExists) << "stored without a handshake";
    const sim::Counters counters = emulator_->GetCounters();
    EXPECT_EQ(counters.frames, 3U);
    EXPECT_EQ(counters.writes + counters.verifies + counters.runs, 0U);
  }
}

TEST_P(ConnectRoad, LateHandshakeReplyIsTakenByTheNextAttempt) {
  // The first reply comes after its window has closed but before the second
  // attempt's has; the link is not purged in between.
  Serve(Faults([](auto& f) { f.lateReply = {{{sim::CommandKind::Handshake, 1}, 550ms}}; }));

  EXPECT_EQ(Connect(file_.path()), ConnectResult::Matched);
  EXPECT_EQ(Messages(), (MessageList{Msg(msg::kConnecting), Msg(msg::kConnecting, " ( 9 )"),
                                     Msg(msg::kConnectOk)}));
  EXPECT_EQ(emulator_->GetCounters().handshakes, 2U);
  EXPECT_EQ(state_.deviceFamily, image::kDeviceFamily);
  EXPECT_EQ(state_.blockCount, 2);
}

TEST_P(ConnectRoad, SevenCharactersOfTheModelDecideCaseSensitively) {
  struct Case {
    const char* deviceInfo;
    const char* header;
    ConnectResult expected;
  };
  const Case cases[] = {
      {"QL480TX-V5", kHeader, ConnectResult::Matched},
      {"QL480TX/other", kHeader, ConnectResult::Matched},  // only seven are compared
      {"ql480tx-v5", kHeader, ConnectResult::ModelMismatch},
      {"QL480TX-V5", "ql480tx-v5 1.02", ConnectResult::ModelMismatch},
      {"QL481TX-V5", kHeader, ConnectResult::ModelMismatch},
      {"QL480", kHeader, ConnectResult::ModelMismatch},  // padded with blanks
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.deviceInfo) + " / " + c.header);
    log_.clear();
    state_ = {};
    store_ = {};
    sim::DeviceConfig device;
    device.deviceInfo = c.deviceInfo;
    Serve({}, device);
    std::string shown = c.deviceInfo;
    shown.resize(16, ' ');

    EXPECT_EQ(Connect(file_.path(), c.header), c.expected);
    EXPECT_TRUE(InOrder(log_, {"device " + shown}));
    // The handshake succeeded, so the link is stored either way.
    EXPECT_EQ(store_.values.count("TYPE"), 1U);
    if (c.expected == ConnectResult::Matched) {
      EXPECT_EQ(LastMessage(), Msg(msg::kConnectOk));
      EXPECT_TRUE(InOrder(log_, {"image loaded 2", "tone 1000 300"}));
      EXPECT_EQ(state_.blockCount, 2);
    } else {
      EXPECT_EQ(LastMessage(), Msg(msg::kFileTypeError));
      EXPECT_TRUE(InOrder(log_, {"model mismatched", "tone 300 300"}));
      EXPECT_TRUE(Matching(log_, "image").empty());
      EXPECT_EQ(state_.blockCount, 0);
    }
  }
}

TEST_P(ConnectRoad, LinkIsStoredOnlyAfterAHandshakeWithTheOtherTabAsInMemory) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  const QString ini = folder.filePath("settings.ini");
  settings::QSettingsStore store(ini);
  env_.storeLink = StoreIn(store);
  // What the window loaded at start-up, for both tabs.
  state_.link = {Link() == sim::LinkType::Tcp ? link::LinkKind::Serial : link::LinkKind::Tcp,
                 "/dev/ttyUSB7", "57600,n,8,1", "10.0.0.9", "6001"};

  Serve(Faults([](auto& f) { f.dropReply = {{sim::CommandKind::Handshake, 0}}; }));
  EXPECT_EQ(Connect(file_.path()), ConnectResult::NoHandshake);
  EXPECT_FALSE(QFile::exists(ini)) << "nothing may be written before a handshake";

  Serve();
  ASSERT_EQ(Connect(file_.path()), ConnectResult::Matched);
  settings::QSettingsStore stored(ini);
  ASSERT_TRUE(stored.Open(false));
  const settings::LinkControls controls = Controls();
  if (Link() == sim::LinkType::Tcp) {
    EXPECT_EQ(stored.ReadInt("TYPE"), 1U);
    EXPECT_EQ(stored.ReadString("NetIP"), "127.0.0.1");
    EXPECT_EQ(stored.ReadString("NetPort"), controls.netPort);
    EXPECT_EQ(stored.ReadString("ComPortName"), "/dev/ttyUSB7");
    EXPECT_EQ(stored.ReadString("ComBaudRate"), "57600,n,8,1");
  } else {
    EXPECT_EQ(stored.ReadInt("TYPE"), 0U);
    EXPECT_EQ(stored.ReadString("ComPortName"), controls.port);
    EXPECT_EQ(stored.ReadString("ComBaudRate"), controls.baudRate);
    EXPECT_EQ(stored.ReadString("NetIP"), "10.0.0.9");
    EXPECT_EQ(stored.ReadString("NetPort"), "6001");
  }
  stored.Close();
}

INSTANTIATE_TEST_SUITE_P(Links, ConnectRoad,
                         testing::Values(sim::LinkType::Tcp, sim::LinkType::Pty), LinkName);

}  // namespace
}  // namespace ql::testing_support
