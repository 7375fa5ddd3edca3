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

const char* Name(upgrade::Procedure procedure) {
  switch (procedure) {
    case upgrade::Procedure::Connect:
      return "connect";
    case upgrade::Procedure::Upgrade:
      return "upgrade";
    case upgrade::Procedure::Verify:
      return "verify";
    case upgrade::Procedure::ReadFlash:
      return "read";
  }
  return "?";
}

const char* Name(upgrade::Phase phase) {
  switch (phase) {
    case upgrade::Phase::Program:
      return "program";
    case upgrade::Phase::Verify:
      return "verify";
    case upgrade::Phase::Read:
      return "read";
    case upgrade::Phase::Run:
      return "run";
  }
  return "?";
}

const char* Name(upgrade::PhaseFailure failure) {
  switch (failure) {
    case upgrade::PhaseFailure::None:
      return "ok";
    case upgrade::PhaseFailure::NotConnected:
      return "not connected";
    case upgrade::PhaseFailure::NoReply:
      return "no reply";
    case upgrade::PhaseFailure::DataDiffers:
      return "data differs";
    case upgrade::PhaseFailure::Unreadable:
      return "unreadable";
    case upgrade::PhaseFailure::NeverQuiet:
      return "never quiet";
    case upgrade::PhaseFailure::OutOfStep:
      return "out of step";
    case upgrade::PhaseFailure::LinkLost:
      return "link lost";
    case upgrade::PhaseFailure::Stopped:
      return "stopped";
  }
  return "?";
}

const char* Name(upgrade::Outcome outcome) {
  switch (outcome) {
    case upgrade::Outcome::Done:
      return "done";
    case upgrade::Outcome::LinkNotOpened:
      return "link not opened";
    case upgrade::Outcome::NoDevice:
      return "no device";
    case upgrade::Outcome::ModelMismatch:
      return "model mismatch";
    case upgrade::Outcome::LoadFailed:
      return "load failed";
    case upgrade::Outcome::PhaseFailed:
      return "phase failed";
    case upgrade::Outcome::Stopped:
      return "stopped";
  }
  return "?";
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

std::string Msg(int number, std::string_view suffix) {
  return "msg " + std::to_string(number) + std::string(suffix);
}

void RecordingEvents::Log(std::string entry) {
  log_.push_back(std::move(entry));
}

void RecordingEvents::Show(const std::optional<upgrade::Status>& status) {
  if (status) {
    Log(Msg(status->message, status->suffix));
  }
}

void RecordingEvents::Started(upgrade::Procedure procedure) {
  Log(std::string("start ") + Name(procedure));
  Show(status_.Started(procedure));
}
void RecordingEvents::LinkOpened() {
  Log("link opened");
}
void RecordingEvents::LinkNotOpened(std::string_view reason) {
  Log("link not opened " + std::string(reason));
  Show(status_.LinkNotOpened());
}
void RecordingEvents::HandshakeFailed(int attempt, const upgrade::TryEnd&) {
  Log("handshake failed " + std::to_string(attempt));
  Show(status_.HandshakeFailed(attempt));
}
void RecordingEvents::DeviceNotFound(int, const upgrade::TryEnd&) {
  Log("device not found");
  Show(status_.DeviceNotFound());
}
void RecordingEvents::DeviceFound(std::string_view deviceInfo) {
  Log("device " + std::string(deviceInfo));
}
void RecordingEvents::ModelMatched() {
  Log("model matched");
  Show(status_.ModelMatched());
}
void RecordingEvents::ModelMismatched(std::string_view, std::string_view) {
  Log("model mismatched");
  Show(status_.ModelMismatched());
}
void RecordingEvents::ImageLoaded(int blockCount) {
  Log("image loaded " + std::to_string(blockCount));
}
void RecordingEvents::ImageNotLoaded(upgrade::LoadFailure, int) {
  Log("image not loaded");
  Show(status_.ImageNotLoaded());
}
void RecordingEvents::PhaseStarted(upgrade::Phase phase, int blockCount) {
  Log(std::string("phase ") + Name(phase) + " " + std::to_string(blockCount));
  Show(status_.PhaseStarted(phase));
}
void RecordingEvents::BlocksBegin(upgrade::Phase phase, int blockCount) {
  Log(std::string("blocks ") + Name(phase) + " " + std::to_string(blockCount));
}
void RecordingEvents::BlockDone(upgrade::Phase phase, int block) {
  Log(std::string("block ") + Name(phase) + " " + std::to_string(block));
}
void RecordingEvents::PhaseEnded(const upgrade::PhaseEnd& end) {
  phases.push_back(end);
  std::string entry = std::string("end ") + Name(end.phase) + " " + Name(end.failure);
  if (!end.Ok()) {
    entry += " block " + std::to_string(end.block) + " tries " + std::to_string(end.tries) +
             " done " + std::to_string(end.blocksDone);
  }
  Log(entry);
  Show(status_.PhaseEnded(end));
}
void RecordingEvents::RunSent(std::uint32_t waitMs) {
  Log("run sent " + std::to_string(waitMs));
}
void RecordingEvents::RunWaitLeft(int seconds) {
  Log("run wait " + std::to_string(seconds));
}
void RecordingEvents::ToneStarted(const upgrade::Tone& tone) {
  Log("tone " + std::to_string(tone.hz) + " " + std::to_string(tone.ms));
}
void RecordingEvents::Finished(const upgrade::Finish& ended) {
  finish = ended;
  Log(std::string("finish ") + Name(ended.outcome));
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
    : env{events, logClock, Opener(),
          [this](const link::LinkSettings& link) { storedLinks.push_back(link); }} {}

link::LinkOpener Harness::Opener() {
  return [this](const link::LinkSettings& settings,
                std::string& why) -> std::unique_ptr<link::Transport> {
    openedWith.push_back(settings);
    if (openFails) {
      log.push_back("open failed");
      why = "No such device";
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
