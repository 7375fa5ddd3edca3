// The procedures' test bench.
#include "harness.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <random>

#include "link/frame.h"
#include "upgrade/device_commands.h"

namespace ql::testing_support {
namespace {

const char* BarName(upgrade::Bar bar) {
  return bar == upgrade::Bar::Program ? "program" : "verify";
}

std::string Body(const std::string& leading, const std::string& data) {
  return leading + data;
}

std::vector<std::uint8_t> Reply(const std::string& body) {
  return link::BuildReply(body);
}

// Logs the link's open and close, and hands everything else to a scripted link.
class LoggedTransport final : public link::Transport {
 public:
  LoggedTransport(std::unique_ptr<ScriptedTransport> inner, Harness& harness)
      : inner_(std::move(inner)), harness_(harness) {}
  ~LoggedTransport() override { Close(); }

  link::LinkKind Kind() const override { return inner_->Kind(); }
  link::WriteResult Write(std::span<const std::uint8_t> bytes) override {
    return inner_->Write(bytes);
  }
  link::ReadResult Read(std::span<std::uint8_t> into, std::chrono::microseconds wait) override {
    return inner_->Read(into, wait);
  }
  std::string GoneReason() const override { return inner_->GoneReason(); }
  bool InputWaiting() override { return inner_->InputWaiting(); }
  std::chrono::nanoseconds CharacterTime() const override { return inner_->CharacterTime(); }
  void Close() override {
    if (!closed_) {
      closed_ = true;
      ++harness_.closes;
      harness_.log.push_back("close");
    }
  }

 private:
  std::unique_ptr<ScriptedTransport> inner_;
  Harness& harness_;
  bool closed_ = false;
};

}  // namespace

void RecordingView::ShowMessage(int number, std::string_view suffix) {
  log_.push_back("msg " + std::to_string(number) + std::string(suffix));
}
void RecordingView::SetIndicator(upgrade::Indicator colour) {
  log_.push_back(colour == upgrade::Indicator::Red ? "indicator red" : "indicator yellow");
}
void RecordingView::SetBusy(std::uint8_t value) {
  log_.push_back("busy " + std::to_string(value));
}
void RecordingView::SetProgressMaximum(upgrade::Bar bar, int value) {
  maximum[static_cast<int>(bar)] = value;
  log_.push_back(std::string("max ") + BarName(bar) + " " + std::to_string(value));
}
void RecordingView::SetProgressPosition(upgrade::Bar bar, int value) {
  position[static_cast<int>(bar)] = value;
  log_.push_back(std::string("pos ") + BarName(bar) + " " + std::to_string(value));
}
void RecordingView::SetHourglass(bool on) {
  log_.push_back(on ? "hourglass 1" : "hourglass 0");
}
void RecordingView::SetWindowEnabled(bool on) {
  log_.push_back(on ? "window 1" : "window 0");
}
void RecordingView::SetUpgradeEnabled(bool on) {
  log_.push_back(on ? "upgrade 1" : "upgrade 0");
}
void RecordingView::SetDeviceText(std::string_view text) {
  log_.push_back("device " + std::string(text));
}
void RecordingView::SetFileVersionText(std::string_view text) {
  log_.push_back("filever " + std::string(text));
}
void RecordingView::Tone(int hz, int ms) {
  log_.push_back("tone " + std::to_string(hz) + " " + std::to_string(ms));
}
void RecordingView::Pump() {
  log_.push_back("pump");
}

void LoggingClock::SleepMs(std::uint32_t ms) {
  log_.push_back("sleep " + std::to_string(ms));
  clock_.SleepMs(ms);
}

void LoggingClock::SleepAfterMarkMs(std::uint32_t ms) {
  log_.push_back("sleep " + std::to_string(ms));
  clock_.SleepAfterMarkMs(ms);
}

std::vector<Arrival> FakeDevice::Respond(const std::vector<std::uint8_t>& written, EventLog& log) {
  // 0x01, payload, 0x02, CRC, CR
  const std::string payload(written.begin() + 1, written.end() - 6);
  log.push_back("send " + payload.substr(0, 10));
  if (onCommand) {
    onCommand(payload);
  }
  if (payload.compare(0, deviceId.size(), deviceId) != 0) {
    return {};
  }
  const std::string command = payload.substr(deviceId.size());
  const std::string leading = deviceId + command.substr(0, 2);

  if (command == "Zx5E2D") {
    const int index = handshakes++;
    if (silentHandshakes.count(index) != 0) {
      return {};
    }
    std::string body = leading + info;
    if (handshakeBodyExtra > 0) {
      body += std::string(static_cast<std::size_t>(handshakeBodyExtra), ' ');
    } else if (handshakeBodyExtra < 0) {
      body.resize(body.size() - static_cast<std::size_t>(-handshakeBodyExtra));
    }
    const std::uint32_t delay = lateHandshakes.count(index) != 0 ? 350 : replyDelayMs;
    return {ArriveAfter(delay, Reply(body))};
  }
  if (command.rfind("Zp", 0) == 0 && command.size() == 6 + 1024) {
    const int index = writes++;
    const int block = std::stoi(command.substr(2, 4), nullptr, 16) / 512;
    const int tryIndex = writeTries[block]++;
    if (tryIndex < writeFailures[block]) {
      return {};
    }
    for (int i = 0; i < 512; ++i) {
      flash[static_cast<std::size_t>(block * 512 + i)] = static_cast<std::uint8_t>(
          std::stoi(command.substr(6 + 2 * static_cast<std::size_t>(i), 2), nullptr, 16));
    }
    if (corruptStored.count(block) != 0) {
      flash[static_cast<std::size_t>(block * 512 + 100)] ^= 0x10;
    }
    const std::uint32_t delay = lateWrites.count(index) != 0 ? 350 : replyDelayMs;
    return {ArriveAfter(delay, Reply(Body(leading, "OK")))};
  }
  if (command.rfind("Zv", 0) == 0 && command.size() == 6) {
    const int index = readBacks++;
    const int block = std::stoi(command.substr(2, 4), nullptr, 16) / 512;
    std::vector<std::uint8_t> data(flash.begin() + block * 512, flash.begin() + block * 512 + 512);
    if (wrongReadBacks.count(block) != 0) {
      data[17] ^= 0x04;
    }
    std::string text = upgrade::BlockDataText(std::span<const std::uint8_t, 512>(data.data(), 512));
    if (lowercaseReadBack) {
      std::transform(text.begin(), text.end(), text.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    }
    const std::uint32_t delay = lateReadBacks.count(index) != 0 ? 350 : replyDelayMs;
    return {ArriveAfter(delay, Reply(Body(leading, text)))};
  }
  if (command == "ZrC71A") {
    ++runs;
    return {ArriveAfter(replyDelayMs, Reply(Body(leading, "RUN")))};
  }
  return {};
}

Harness::Harness()
    : env{view, logClock, Opener(),
          [this](const link::LinkSettings& link) { storedLinks.push_back(link); }} {}

link::LinkOpener Harness::Opener() {
  return [this](const link::LinkSettings& settings) -> std::unique_ptr<link::Transport> {
    openedWith.push_back(settings);
    if (openFails) {
      log.push_back("open failed");
      return nullptr;
    }
    ++opens;
    log.push_back("open");
    auto scripted = std::make_unique<ScriptedTransport>(clock, settings.linkKind);
    scripted->SetResponder(
        [this](const std::vector<std::uint8_t>& written) { return device.Respond(written, log); });
    return std::make_unique<LoggedTransport>(std::move(scripted), *this);
  };
}

TempFirmware::TempFirmware(std::string_view header, const std::vector<std::uint8_t>& image) {
  std::random_device seed;
  dir_ = std::filesystem::temp_directory_path() / ("ql-upgrade-test-" + std::to_string(seed()));
  std::filesystem::create_directories(dir_);
  path_ = dir_ / "image.QLB";
  std::string head(header);
  head.resize(16, '\0');
  std::ofstream out(path_, std::ios::binary);
  out.write(head.data(), static_cast<std::streamsize>(head.size()));
  out.write(reinterpret_cast<const char*>(image.data()),
            static_cast<std::streamsize>(image.size()));
}

TempFirmware::~TempFirmware() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::vector<std::uint8_t> PatternImage(std::size_t bytes) {
  std::vector<std::uint8_t> image(bytes);
  for (std::size_t i = 0; i < bytes; ++i) {
    image[i] = static_cast<std::uint8_t>((i * 7 + i / 512) & 0xFF);
  }
  return image;
}

bool InOrder(const EventLog& log, const std::vector<std::string>& events) {
  auto at = log.begin();
  for (const auto& event : events) {
    at = std::find(at, log.end(), event);
    if (at == log.end()) {
      return false;
    }
    ++at;
  }
  return true;
}

std::vector<std::string> TonesWithoutTheirPause(const EventLog& log) {
  std::vector<std::string> unpaused;
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (log[i].rfind("tone ", 0) != 0) {
      continue;
    }
    const std::string ms = log[i].substr(log[i].rfind(' ') + 1);
    if (i + 1 == log.size() || log[i + 1] != "sleep " + ms) {
      unpaused.push_back(log[i]);
    }
  }
  return unpaused;
}

std::vector<std::string> Matching(const EventLog& log, std::string_view prefix) {
  std::vector<std::string> found;
  for (const auto& event : log) {
    if (event.rfind(prefix, 0) == 0) {
      found.push_back(event);
    }
  }
  return found;
}

}  // namespace ql::testing_support
