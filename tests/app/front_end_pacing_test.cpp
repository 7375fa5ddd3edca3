// The window and the command-line program's run as the device sees them, on
// the virtual clock: each drives the same road against its own scripted
// device, the window through its buttons, the command-line side through the
// job it runs for a device, on the clock it runs it on. The device notes
// when its link was opened, when each request came and when the link was
// closed; both recordings must hold the same events at the same moments of
// each link session, tones and the wait after the run command included.
//
// On the real clock, against the emulator and the real ql480tx-flash, the
// same comparison is a benchmark (front_end_gaps): how late a thread wakes
// is the machine's, not the front end's.
#include <QAbstractButton>
#include <QLineEdit>
#include <QTabWidget>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "flash_job.h"
#include "image/firmware_file.h"
#include "upgrade/harness.h"
#include "window_fixture.h"

namespace ql::testing_support {
namespace {

// What a device saw on one kind of link, with the virtual time of each event
// counted from the open of its session: "1 send 0001Zp0200 at 412004 us".
class DeviceRecord {
 public:
  explicit DeviceRecord(VirtualClock& clock) : clock_(clock) {}

  void Opened() {
    ++sessions_;
    openedUs_ = clock_.NowUs();
    Note("opened");
  }
  void Note(const std::string& what) {
    events.push_back(std::to_string(sessions_) + " " + what + " at " +
                     std::to_string(clock_.NowUs() - openedUs_) + " us");
  }

  std::vector<std::string> events;

 private:
  VirtualClock& clock_;
  int sessions_ = 0;
  std::uint64_t openedUs_ = 0;
};

// A scripted link to `device` that notes its open, every request and its close.
class RecordedLink final : public link::Transport {
 public:
  RecordedLink(VirtualClock& clock, FakeDevice& device, DeviceRecord& record)
      : scripted_(clock, link::LinkKind::Tcp), record_(record) {
    record_.Opened();
    scripted_.SetResponder([&device, &record](const std::vector<std::uint8_t>& written) {
      EventLog ignored;
      auto arrivals = device.Respond(written, ignored);
      record.Note(ignored.front());
      return arrivals;
    });
  }
  ~RecordedLink() override { Close(); }

  link::LinkKind Kind() const override { return scripted_.Kind(); }
  link::WriteResult Write(std::span<const std::uint8_t> bytes) override {
    return scripted_.Write(bytes);
  }
  link::ReadResult Read(std::span<std::uint8_t> into, std::chrono::microseconds wait) override {
    return scripted_.Read(into, wait);
  }
  std::string GoneReason() const override { return scripted_.GoneReason(); }
  std::chrono::nanoseconds CharacterTime() const override { return scripted_.CharacterTime(); }
  bool InputWaiting() override { return scripted_.InputWaiting(); }
  void Close() override {
    if (!closed_) {
      closed_ = true;
      record_.Note("closed");
    }
  }

 private:
  ScriptedTransport scripted_;
  DeviceRecord& record_;
  bool closed_ = false;
};

struct Road {
  const char* name;
  void (*device)(FakeDevice&);
  bool upgrade;  // the window presses Upgrade after the connect
  const char* windowText;
};

const Road kRoads[] = {
    {"upgrade ok", [](FakeDevice&) {}, true, "Upgrade ok."},
    {"other model", [](FakeDevice& d) { d.info = "QL481TX-V5      "; }, false,
     "Firmware file type error!"},
    {"read-back differs", [](FakeDevice& d) { d.wrongReadBacks = {1}; }, true, "Verify error!"},
};

constexpr int kBlocks = 3;
constexpr const char* kHeader = "QL480TX-V5 1.02";

class FrontEndPacing : public WindowTest {
 protected:
  link::LinkOpener Opener(VirtualClock& clock, FakeDevice& device, DeviceRecord& record) {
    return [&clock, &device, &record](const link::LinkSettings&, std::string&) {
      return std::make_unique<RecordedLink>(clock, device, record);
    };
  }

  // The window as the program builds it, on the virtual clock; only the
  // boxes, the tones and the link are the test's.
  std::vector<std::string> RunWindow(const Road& road, const std::string& firmware) {
    FakeDevice device;
    road.device(device);
    DeviceRecord record(clock_);
    app::WindowServices services = app::SystemServices();
    auto dialogs = std::make_unique<FakeDialogs>();
    dialogs_ = dialogs.get();
    services.dialogs = std::move(dialogs);
    services.tone = [this](int hz, int ms) { tones_.emplace_back(hz, ms); };
    services.portNames = [this] { return portNames_; };
    services.clock = &clock_;
    services.openStore = TestStore();
    services.openLink = Opener(clock_, device, record);
    window_ = std::make_unique<app::TfrmModule>(std::move(services));
    window_->show();
    EXPECT_TRUE(WaitFor([this] { return dialogs_->notes.size() == 1; }));

    Select(QString::fromStdString(firmware));
    Find<QTabWidget>("pcPort")->setCurrentWidget(Find("tsNet"));
    Find<QLineEdit>("edIP")->setText(QStringLiteral("127.0.0.1"));
    Find<QLineEdit>("edPort")->setText(QStringLiteral("5003"));
    RunStep("btnConnect");
    if (road.upgrade) {
      RunStep("btnAuto");
    }
    EXPECT_EQ(Text("pnMsg"), QString::fromLatin1(road.windowText));
    window_.reset();
    return record.events;
  }

  // One device's run as ql480tx-flash makes it: the job, on the system
  // clock's stand-in, with the whole wait after the run command.
  static std::vector<std::string> RunCommandLine(const Road& road, const std::string& firmware) {
    VirtualClock clock(1000);
    FakeDevice device;
    road.device(device);
    DeviceRecord record(clock);
    EventLog eventLog;
    RecordingEvents events(eventLog);
    std::atomic<bool> stop{false};
    image::FirmwareRead read = image::ReadFirmwareFile(firmware);
    EXPECT_TRUE(read.Ok());

    flash::Job job;
    job.mode = flash::Mode::Upgrade;
    job.firmwarePath = firmware;
    job.fileVersionText = read.file.headerText;
    job.firmware = std::make_shared<const image::FirmwareFile>(std::move(read.file));
    job.controls = {link::LinkKind::Tcp, "", "", "127.0.0.1", "5003"};
    const flash::JobContext context{&stop, nullptr};
    const link::LinkOpener open = [&](const link::LinkSettings&, std::string&) {
      return std::make_unique<RecordedLink>(clock, device, record);
    };
    flash::RunJob(job, events, clock, open, context);
    return record.events;
  }
};

TEST_F(FrontEndPacing, TheDeviceSeesTheSameRequestsAtTheSameMomentsFromBothFrontEnds) {
  const TempFirmware file(kHeader, PatternImage(kBlocks * 512));
  for (const Road& road : kRoads) {
    SCOPED_TRACE(road.name);
    const std::vector<std::string> window = RunWindow(road, file.path().string());
    const std::vector<std::string> commandLine = RunCommandLine(road, file.path().string());
    ASSERT_FALSE(window.empty());
    EXPECT_EQ(window, commandLine);
  }
}

}  // namespace
}  // namespace ql::testing_support
