// Verification against every way a reply can go astray, on the virtual clock.
//
// A model device stores a four-block image whose blocks are all equal, so a
// block compared with any other block's reply passes unless the comparison
// sees the device's own copy of that block. Each reply of the verification
// phase (the handshake first, then the read-backs in the order they are
// asked for, retries and reads again included, then the run command) meets
// one fate: on time, a few milliseconds past its window, more than a window
// past it, lost, its CR lost, cut in two with its tail arriving in one read
// with the next reply, sent twice, or held back and sent in one read with the
// next reply. Every combination of up to two disturbed replies runs, for a
// wrongly stored block at each position and for none, on both link kinds.
// The device answers in order: a reply held back holds back every reply
// behind it.
//
// What must hold in every run: "Upgrade ok." and the run command only when the
// device holds the image, the sequence's result agreeing with both, and every
// run ending. A clean run keeps its exact traffic and timing.
#include <gtest/gtest.h>

#include <array>
#include <iostream>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "harness.h"
#include "link/frame.h"
#include "upgrade/device_commands.h"

namespace ql::testing_support {
namespace {

using settings::LinkKind;
using upgrade::UpgradeResult;

constexpr int kBlocks = 4;
// How many replies of the verification phase may meet a fate: the handshake,
// four read-backs and the replies to retries and reads again.
constexpr int kOrdinals = 8;
constexpr std::uint32_t kReplyDelayMs = 2;
constexpr std::uint32_t kLateFewMs = 310;
constexpr std::uint32_t kLateLongMs = 650;
// Bytes a serial line takes one after another, about 921600 baud.
constexpr std::uint32_t kSerialByteUs = 11;
// The head of a cut reply: start byte and the six leading characters.
constexpr std::size_t kCutAt = 7;

enum class Fate { OnTime, LateFew, LateLong, Lost, CrLost, Cut, Duplicated, Coalesced };
constexpr std::array kDisturbances = {Fate::LateFew, Fate::LateLong,   Fate::Lost,     Fate::CrLost,
                                      Fate::Cut,     Fate::Duplicated, Fate::Coalesced};

const char* FateName(Fate fate) {
  switch (fate) {
    case Fate::OnTime:
      return "on time";
    case Fate::LateFew:
      return "late by a few ms";
    case Fate::LateLong:
      return "late by more than a window";
    case Fate::Lost:
      return "lost";
    case Fate::CrLost:
      return "CR lost";
    case Fate::Cut:
      return "cut";
    case Fate::Duplicated:
      return "duplicated";
    case Fate::Coalesced:
      return "sent with the next";
  }
  return "?";
}

struct Scenario {
  LinkKind kind = LinkKind::Tcp;
  std::optional<int> wrongBlock;  // stored with a flipped bit
  std::vector<std::pair<int, Fate>> fates;

  std::string Describe() const {
    std::string text = kind == LinkKind::Tcp ? "tcp" : "serial";
    text += wrongBlock ? ", block " + std::to_string(*wrongBlock) + " stored wrongly" : ", intact";
    for (const auto& [ordinal, fate] : fates) {
      text += ", reply " + std::to_string(ordinal) + " " + FateName(fate);
    }
    return text;
  }
};

// The device of the model: stores what it is sent (one block wrongly when
// told to), answers every command in order, and delivers the replies of the
// verification phase as their fates say.
class ModelDevice {
 public:
  ModelDevice(VirtualClock& clock, const Scenario& scenario)
      : clock_(clock), scenario_(scenario), flash_(kBlocks * 512, 0xFF) {}

  std::vector<Arrival> Respond(const std::vector<std::uint8_t>& written) {
    const std::string payload(written.begin() + 1, written.end() - 6);
    const std::string command = payload.substr(4);
    std::string body = payload.substr(0, 6);
    if (command == "Zx5E2D") {
      verifying_ = ++handshakes_ == 2;
      body += "QL480TX-V5      ";
    } else if (command.rfind("Zp", 0) == 0) {
      const int block = std::stoi(command.substr(2, 4), nullptr, 16) / 512;
      for (int i = 0; i < 512; ++i) {
        flash_[static_cast<std::size_t>(block * 512 + i)] = static_cast<std::uint8_t>(
            std::stoi(command.substr(6 + 2 * static_cast<std::size_t>(i), 2), nullptr, 16));
      }
      if (scenario_.wrongBlock == block) {
        flash_[static_cast<std::size_t>(block * 512 + 300)] ^= 0x20;
      }
      body += "OK";
    } else if (command.rfind("Zv", 0) == 0) {
      const int block = std::stoi(command.substr(2, 4), nullptr, 16) / 512;
      body += upgrade::BlockDataText(
          std::span<const std::uint8_t, 512>(flash_.data() + block * 512, 512));
    } else if (command == "ZrC71A") {
      ++runs_;
      body += "RUN";
    }
    return Deliver(link::BuildReply(body));
  }

  bool HoldsImage(const std::vector<std::uint8_t>& image) const { return flash_ == image; }
  int Runs() const { return runs_; }

 private:
  Fate NextFate() {
    if (!verifying_) {
      return Fate::OnTime;
    }
    const int ordinal = ordinal_++;
    for (const auto& [at, fate] : scenario_.fates) {
      if (at == ordinal) {
        return fate;
      }
    }
    return Fate::OnTime;
  }

  std::vector<Arrival> Deliver(std::vector<std::uint8_t> frame) {
    std::uint32_t delayMs = kReplyDelayMs;
    std::vector<std::uint8_t> bytes = std::exchange(held_, {});
    switch (NextFate()) {
      case Fate::OnTime:
        break;
      case Fate::LateFew:
        delayMs = kLateFewMs;
        break;
      case Fate::LateLong:
        delayMs = kLateLongMs;
        break;
      case Fate::Lost:
        frame.clear();
        break;
      case Fate::CrLost:
        frame.pop_back();
        break;
      case Fate::Cut:
        held_.assign(frame.begin() + kCutAt, frame.end());
        frame.resize(kCutAt);
        break;
      case Fate::Duplicated: {
        const std::vector<std::uint8_t> copy = frame;
        frame.insert(frame.end(), copy.begin(), copy.end());
        break;
      }
      case Fate::Coalesced:
        held_ = std::move(frame);
        frame.clear();
        break;
    }
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    if (bytes.empty()) {
      return {};
    }
    // In order: nothing overtakes a reply that is still going out.
    const std::uint64_t now = clock_.NowUs();
    const std::uint64_t at = std::max(now + std::uint64_t{delayMs} * 1000, lineFreeUs_);
    const std::uint32_t spacing = scenario_.kind == LinkKind::Serial ? kSerialByteUs : 0;
    lineFreeUs_ = at + std::uint64_t{spacing} * bytes.size();
    Arrival arrival = StreamAfter(0, bytes, spacing);
    arrival.extraUs = static_cast<std::uint32_t>(at - now);
    return {arrival};
  }

  VirtualClock& clock_;
  const Scenario& scenario_;
  std::vector<std::uint8_t> flash_;
  std::vector<std::uint8_t> held_;
  std::uint64_t lineFreeUs_ = 0;
  int handshakes_ = 0;
  bool verifying_ = false;
  int ordinal_ = 0;
  int runs_ = 0;
};

struct Outcome {
  UpgradeResult result = UpgradeResult::LinkNotOpened;
  bool shownOk = false;
  bool runSent = false;
  bool holdsImage = false;
  std::uint32_t tookMs = 0;
  // Every request as the device received it: virtual time and payload.
  std::vector<std::pair<std::uint64_t, std::string>> traffic;
};

const std::vector<std::uint8_t>& Image() {
  static const std::vector<std::uint8_t> image = [] {
    std::vector<std::uint8_t> bytes;
    const auto block = PatternImage(512);
    for (int b = 0; b < kBlocks; ++b) {
      bytes.insert(bytes.end(), block.begin(), block.end());
    }
    return bytes;
  }();
  return image;
}

Outcome RunScenario(const Scenario& scenario) {
  Harness h;
  h.state.deviceFamily = "02200001";
  h.state.link.linkKind = scenario.kind;
  for (int b = 0; b < kBlocks; ++b) {
    std::copy_n(Image().begin() + b * 512, 512, h.state.blockTable.Row(b).begin());
  }
  h.state.blockCount = kBlocks;

  ModelDevice device(h.clock, scenario);
  Outcome outcome;
  h.env.openLink = [&](const settings::LinkSettings& settings) -> std::unique_ptr<link::Transport> {
    auto scripted = std::make_unique<ScriptedTransport>(h.clock, settings.linkKind);
    scripted->SetResponder([&h, &device, &outcome](const std::vector<std::uint8_t>& written) {
      outcome.traffic.emplace_back(h.clock.NowUs(),
                                   std::string(written.begin() + 1, written.begin() + 11));
      return device.Respond(written);
    });
    return scripted;
  };

  const std::uint64_t start = h.clock.NowUs();
  outcome.result = upgrade::UpgradeSequence("0001", h.state, h.env);
  outcome.tookMs = static_cast<std::uint32_t>((h.clock.NowUs() - start) / 1000);
  outcome.shownOk = !Matching(h.log, "msg 21").empty();
  outcome.runSent = device.Runs() > 0;
  outcome.holdsImage = device.HoldsImage(Image());
  return outcome;
}

// Every combination of fates for up to two of the replies that may meet one.
std::vector<std::vector<std::pair<int, Fate>>> AllFateSets() {
  std::vector<std::vector<std::pair<int, Fate>>> fateSets = {{}};
  for (int a = 0; a < kOrdinals; ++a) {
    for (const Fate fa : kDisturbances) {
      fateSets.push_back({{a, fa}});
      for (int b = a + 1; b < kOrdinals; ++b) {
        for (const Fate fb : kDisturbances) {
          fateSets.push_back({{a, fa}, {b, fb}});
        }
      }
    }
  }
  return fateSets;
}

// One link kind and one wrongly stored block (-1: none) per test, so the
// combinations run in parallel.
class VerificationModel : public ::testing::TestWithParam<std::tuple<LinkKind, int>> {};

TEST_P(VerificationModel, UpgradeOkOnlyWhenTheDeviceHoldsTheImage) {
  const auto [kind, wrong] = GetParam();
  const auto fateSets = AllFateSets();
  // None, 8 x 7 single disturbances, 28 pairs of replies x 7 x 7.
  ASSERT_EQ(fateSets.size(), 1u + 56u + 28u * 49u);

  int passed = 0;
  std::uint32_t longestMs = 0;
  for (const auto& fates : fateSets) {
    Scenario scenario;
    scenario.kind = kind;
    if (wrong >= 0) {
      scenario.wrongBlock = wrong;
    }
    scenario.fates = fates;
    const Outcome o = RunScenario(scenario);
    const bool ok = o.result == UpgradeResult::UpgradeOk;
    EXPECT_EQ(o.shownOk, ok) << scenario.Describe();
    EXPECT_EQ(o.runSent, ok) << scenario.Describe();
    if (ok) {
      EXPECT_TRUE(o.holdsImage) << scenario.Describe();
      ++passed;
    }
    // The handshake has a single try; every other disturbance is recovered
    // from when the device holds the image.
    const bool handshakeDisturbed =
        !fates.empty() && fates[0].first == 0 && fates[0].second != Fate::Duplicated;
    if (!scenario.wrongBlock && !handshakeDisturbed) {
      EXPECT_TRUE(ok) << scenario.Describe();
    }
    // Every run ends: at worst a few quiet windows per block.
    EXPECT_LT(o.tookMs, 60'000u) << scenario.Describe();
    longestMs = std::max(longestMs, o.tookMs);
    if (::testing::Test::HasFailure()) {
      break;  // one scenario's failures say enough
    }
  }
  std::cout << "verification model, " << (kind == LinkKind::Tcp ? "tcp" : "serial")
            << (wrong >= 0 ? ", block " + std::to_string(wrong) + " stored wrongly" : ", intact")
            << ": " << fateSets.size() << " combinations, " << passed
            << " ended in Upgrade ok, longest run " << longestMs << " ms\n";
  if (wrong >= 0) {
    EXPECT_EQ(passed, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(AllFates, VerificationModel,
                         ::testing::Combine(::testing::Values(LinkKind::Tcp, LinkKind::Serial),
                                            ::testing::Range(-1, kBlocks)),
                         [](const ::testing::TestParamInfo<std::tuple<LinkKind, int>>& info) {
                           const int wrong = std::get<1>(info.param);
                           return std::string(std::get<0>(info.param) == LinkKind::Tcp
                                                  ? "Tcp_"
                                                  : "Serial_") +
                                  (wrong < 0 ? "Intact" : "WrongBlock" + std::to_string(wrong));
                         });

// A clean run sends what it always did, at the same moments: every pause of
// the sequence and nothing more, whichever link.
TEST(VerificationModelClean, CleanRunKeepsItsTrafficAndTiming) {
  for (const LinkKind kind : {LinkKind::Tcp, LinkKind::Serial}) {
    Scenario clean;
    clean.kind = kind;
    const Outcome o = RunScenario(clean);
    ASSERT_EQ(o.result, UpgradeResult::UpgradeOk);
    std::vector<std::string> sent;
    std::vector<std::uint64_t> gapsUs;
    for (std::size_t i = 0; i < o.traffic.size(); ++i) {
      sent.push_back(o.traffic[i].second);
      if (i > 0) {
        gapsUs.push_back(o.traffic[i].first - o.traffic[i - 1].first);
      }
    }
    EXPECT_EQ(sent,
              (std::vector<std::string>{"0001Zx5E2D", "0001Zp0000", "0001Zp0200", "0001Zp0400",
                                        "0001Zp0600", "0001Zx5E2D", "0001Zv0000", "0001Zv0200",
                                        "0001Zv0400", "0001Zv0600", "0001ZrC71A"}));
    // When each reply has been read whole: 2 ms after its request, and on the
    // serial line its CR comes one byte time after each byte before it.
    auto seen = [kind](std::size_t frameBytes) {
      return std::uint64_t{2000} +
             (kind == LinkKind::Serial ? std::uint64_t{kSerialByteUs} * (frameBytes - 1) : 0);
    };
    const std::uint64_t handshake = seen(29);
    const std::uint64_t write = seen(15);
    const std::uint64_t readBack = seen(1037);
    const std::vector<std::uint64_t> expected = {
        handshake + 50'000 + 4000,  // handshake, pause, first write
        write + 4000,               // write, write
        write + 4000,               //
        write + 4000,               //
        write + 100'000 + 100'000,  // last write, the 100 ms tone, verify handshake
        handshake + 50'000 + 4000,  // handshake, first read-back
        readBack + 4000,            // read-back, read-back
        readBack + 4000,            //
        readBack + 4000,            //
        readBack + 50'000,          // last read-back, run command
    };
    EXPECT_EQ(gapsUs, expected) << (kind == LinkKind::Tcp ? "tcp" : "serial");
  }
}

}  // namespace
}  // namespace ql::testing_support
