// Verification against every way a reply can go astray, on the virtual clock.
//
// A model device stores a four-block image whose blocks are all equal, so a
// block compared with any other block's reply passes unless the comparison
// sees the device's own copy of that block. Each reply of the verification
// phase (the handshake first, then the read-backs in the order they are
// asked for, retries and reads again included, then the run command) meets
// one fate: on time, a few milliseconds past its window, 400 ms late, more
// than two windows late, lost, its CR lost, cut in two with its tail arriving
// in one read with the next reply, sent twice, held back and sent in one read
// with the next reply, with an exact echo of the request before it, with a
// glitch byte before it, or with a stale copy of the previous reply before or
// after it. Every combination of up to two disturbed replies runs, for a
// wrongly stored block at each position and for none, on both link kinds, on
// a quick link, through an adapter that echoes every request, on a line that
// puts a glitch byte before every reply, and on links whose every reply takes
// a steady round trip of 150 or 250 ms. The device
// answers in order: a reply held back holds back every reply behind it.
//
// What must hold in every run: "Upgrade ok." and the run command only when the
// device holds the image, the sequence's result agreeing with both, and every
// run ending. A clean run keeps its exact traffic and timing.
#include <gtest/gtest.h>
#include <malloc.h>

#include <array>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "harness.h"
#include "link/frame.h"
#include "text/message_table.h"
#include "upgrade/device_commands.h"

namespace ql::testing_support {
namespace {

using link::LinkKind;
using upgrade::UpgradeResult;

constexpr int kBlocks = 4;
// How many replies of the verification phase may meet a fate: the handshake,
// four read-backs and the replies to retries and reads again.
constexpr int kOrdinals = 8;
constexpr std::uint32_t kReplyDelayMs = 2;
// How much later than the link's usual round trip a late reply comes.
constexpr std::uint32_t kLateFewMs = 308;
constexpr std::uint32_t kHeldMs = 400;
constexpr std::uint32_t kLateLongMs = 648;
// The byte some lines put on the wire when their direction turns.
constexpr std::uint8_t kGlitchByte = 0x00;
// Bytes a serial line takes one after another, about 921600 baud.
constexpr std::uint32_t kSerialByteUs = 11;
// The head of a cut reply: start byte and the six leading characters.
constexpr std::size_t kCutAt = 7;

enum class Fate {
  OnTime,
  LateFew,
  Held,
  LateLong,
  Lost,
  CrLost,
  Cut,
  Duplicated,
  Coalesced,
  Echo,
  Glitch,
  StaleBefore,
  StaleAfter
};
constexpr std::array kDisturbances = {Fate::LateFew,    Fate::Held,        Fate::LateLong,
                                      Fate::Lost,       Fate::CrLost,      Fate::Cut,
                                      Fate::Duplicated, Fate::Coalesced,   Fate::Echo,
                                      Fate::Glitch,     Fate::StaleBefore, Fate::StaleAfter};

// What the link does to every reply, besides the fates.
enum class LinkMode { Quick, EchoingAdapter, GlitchingLine, RoundTrip150, RoundTrip250 };

const char* FateName(Fate fate) {
  switch (fate) {
    case Fate::OnTime:
      return "on time";
    case Fate::LateFew:
      return "late by a few ms";
    case Fate::Held:
      return "held 400 ms";
    case Fate::LateLong:
      return "late by more than two windows";
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
    case Fate::Echo:
      return "after an echo of its request";
    case Fate::Glitch:
      return "after a glitch byte";
    case Fate::StaleBefore:
      return "after a copy of the previous reply";
    case Fate::StaleAfter:
      return "before a copy of the previous reply";
  }
  return "?";
}

const char* ModeName(LinkMode mode) {
  switch (mode) {
    case LinkMode::Quick:
      return "quick";
    case LinkMode::EchoingAdapter:
      return "echoing adapter";
    case LinkMode::GlitchingLine:
      return "glitch before every reply";
    case LinkMode::RoundTrip150:
      return "150 ms round trip";
    case LinkMode::RoundTrip250:
      return "250 ms round trip";
  }
  return "?";
}

std::uint32_t RoundTripMs(LinkMode mode) {
  return mode == LinkMode::RoundTrip150   ? 150
         : mode == LinkMode::RoundTrip250 ? 250
                                          : kReplyDelayMs;
}

struct Scenario {
  LinkKind kind = LinkKind::Tcp;
  LinkMode mode = LinkMode::Quick;
  std::optional<int> wrongBlock;  // stored with a flipped bit
  std::vector<std::pair<int, Fate>> fates;

  std::string Describe() const {
    std::string text = kind == LinkKind::Tcp ? "tcp" : "serial";
    text += std::string(", ") + ModeName(mode);
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
      link::DecodeUpperHex(std::string_view(command).substr(6, 1024),
                           std::span(flash_).subspan(static_cast<std::size_t>(block) * 512, 512));
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
    return Deliver(written, link::BuildReply(body));
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

  std::vector<Arrival> Deliver(const std::vector<std::uint8_t>& request,
                               std::vector<std::uint8_t> frame) {
    const std::uint32_t roundTripMs = RoundTripMs(scenario_.mode);
    std::uint32_t delayMs = roundTripMs;
    std::vector<std::uint8_t> bytes = std::exchange(held_, {});
    const std::vector<std::uint8_t> previous = std::exchange(previous_, frame);
    if (scenario_.mode == LinkMode::EchoingAdapter) {
      // The adapter hands the request back as the host sends it, before any
      // reply, a late one included.
      echoes_.push_back(request);
    } else if (scenario_.mode == LinkMode::GlitchingLine) {
      // The line turns round before every reply.
      frame.insert(frame.begin(), kGlitchByte);
    }
    switch (NextFate()) {
      case Fate::OnTime:
        break;
      case Fate::LateFew:
        delayMs += kLateFewMs;
        break;
      case Fate::Held:
        delayMs += kHeldMs;
        break;
      case Fate::LateLong:
        delayMs += kLateLongMs;
        break;
      case Fate::Echo:
        echoes_.push_back(request);
        break;
      case Fate::Glitch:
        frame.insert(frame.begin(), kGlitchByte);
        break;
      case Fate::StaleBefore:
        frame.insert(frame.begin(), previous.begin(), previous.end());
        break;
      case Fate::StaleAfter:
        frame.insert(frame.end(), previous.begin(), previous.end());
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
    std::vector<Arrival> arrivals;
    const std::uint64_t now = clock_.NowUs();
    const std::uint32_t spacing = scenario_.kind == LinkKind::Serial ? kSerialByteUs : 0;
    // An echo comes back as soon as the line is free, ahead of the reply.
    for (const auto& echo : std::exchange(echoes_, {})) {
      const std::uint64_t at = std::max(now, lineFreeUs_);
      lineFreeUs_ = at + std::uint64_t{spacing} * echo.size();
      Arrival arrival = StreamAfter(0, echo, spacing);
      arrival.extraUs = static_cast<std::uint32_t>(at - now);
      arrivals.push_back(arrival);
    }
    if (!bytes.empty()) {
      // In order: nothing overtakes a reply that is still going out.
      const std::uint64_t at = std::max(now + std::uint64_t{delayMs} * 1000, lineFreeUs_);
      lineFreeUs_ = at + std::uint64_t{spacing} * bytes.size();
      Arrival arrival = StreamAfter(0, bytes, spacing);
      arrival.extraUs = static_cast<std::uint32_t>(at - now);
      arrivals.push_back(arrival);
    }
    return arrivals;
  }

  VirtualClock& clock_;
  const Scenario& scenario_;
  std::vector<std::uint8_t> flash_;
  std::vector<std::uint8_t> held_;
  std::vector<std::uint8_t> previous_;  // the last reply frame the device made
  std::vector<std::vector<std::uint8_t>> echoes_;
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

// Remembers only whether the operator was told "Upgrade ok.".
class OutcomeEvents final : public upgrade::ProcedureEvents {
 public:
  void PhaseEnded(const upgrade::PhaseEnd& end) override {
    const auto status = status_.PhaseEnded(end);
    shownOk = shownOk || (status && status->message == text::msg::kUpgradeOk);
  }

  bool shownOk = false;

 private:
  upgrade::StatusLine status_;
};

// The device state every scenario starts from: one table for them all, as
// the sequence only reads it.
const upgrade::DeviceState& Loaded(LinkKind kind) {
  static const auto make = [](LinkKind k) {
    auto state = std::make_unique<upgrade::DeviceState>();
    state->deviceFamily = "02200001";
    state->link.linkKind = k;
    for (int b = 0; b < kBlocks; ++b) {
      std::copy_n(Image().begin() + b * 512, 512, state->blockTable.Row(b).begin());
    }
    state->blockCount = kBlocks;
    return state;
  };
  static const auto tcp = make(LinkKind::Tcp);
  static const auto serial = make(LinkKind::Serial);
  return kind == LinkKind::Tcp ? *tcp : *serial;
}

Outcome RunScenario(const Scenario& scenario) {
  VirtualClock clock(1000);
  OutcomeEvents events;
  ModelDevice device(clock, scenario);
  Outcome outcome;
  upgrade::Environment env{
      events, clock,
      [&](const link::LinkSettings& settings, std::string&) -> std::unique_ptr<link::Transport> {
        auto scripted = std::make_unique<ScriptedTransport>(clock, settings.linkKind);
        scripted->SetResponder(
            [&clock, &device, &outcome](const std::vector<std::uint8_t>& written) {
              outcome.traffic.emplace_back(clock.NowUs(),
                                           std::string(written.begin() + 1, written.begin() + 11));
              return device.Respond(written);
            });
        return scripted;
      },
      nullptr};

  const std::uint64_t start = clock.NowUs();
  outcome.result = upgrade::UpgradeSequence("0001", Loaded(scenario.kind), env);
  outcome.tookMs = static_cast<std::uint32_t>((clock.NowUs() - start) / 1000);
  outcome.shownOk = events.shownOk;
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

// Whether the verification's own handshake reply fails to arrive whole and in
// its window: it has a single try, so the run fails, as it must.
bool HandshakeLost(const std::vector<std::pair<int, Fate>>& fates) {
  if (fates.empty() || fates[0].first != 0) {
    return false;
  }
  switch (fates[0].second) {
    case Fate::Duplicated:
    case Fate::Echo:
    case Fate::Glitch:
    case Fate::StaleBefore:
    case Fate::StaleAfter:
      return false;
    default:
      return true;
  }
}

// Every scenario makes and frees a few hundred kilobytes. Left to its
// defaults, glibc hands the top of the heap back to the system after each
// and asks for it again for the next, which cost as much as the scenarios
// themselves; keeping it makes the model check two to three times quicker.
void KeepTheHeap() {
#ifdef __GLIBC__
  static const bool kept = [] {
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    mallopt(M_TOP_PAD, 16 << 20);
    return true;
  }();
  static_cast<void>(kept);
#endif
}

// One link kind, link mode and wrongly stored block (-1: none) per test, so
// the combinations run in parallel.
class VerificationModel : public ::testing::TestWithParam<std::tuple<LinkKind, LinkMode, int>> {};

TEST_P(VerificationModel, UpgradeOkOnlyWhenTheDeviceHoldsTheImage) {
  KeepTheHeap();
  const auto [kind, mode, wrong] = GetParam();
  const auto fateSets = AllFateSets();
  // None, 8 x 12 single disturbances, 28 pairs of replies x 12 x 12.
  ASSERT_EQ(fateSets.size(), 1u + 96u + 28u * 144u);

  int passed = 0;
  std::uint32_t longestMs = 0;
  for (const auto& fates : fateSets) {
    Scenario scenario;
    scenario.kind = kind;
    scenario.mode = mode;
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
    // Every disturbance but the loss of the verification's handshake reply
    // is recovered from when the device holds the image.
    if (!scenario.wrongBlock && !HandshakeLost(fates)) {
      EXPECT_TRUE(ok) << scenario.Describe();
    }
    // Every run ends: at worst a few quiet windows per block.
    EXPECT_LT(o.tookMs, 60'000u) << scenario.Describe();
    longestMs = std::max(longestMs, o.tookMs);
    if (::testing::Test::HasFailure()) {
      break;  // one scenario's failures say enough
    }
  }
  std::cout << "verification model, " << (kind == LinkKind::Tcp ? "tcp" : "serial") << ", "
            << ModeName(mode)
            << (wrong >= 0 ? ", block " + std::to_string(wrong) + " stored wrongly" : ", intact")
            << ": " << fateSets.size() << " combinations, " << passed
            << " ended in Upgrade ok, longest run " << longestMs << " ms\n";
  if (wrong >= 0) {
    EXPECT_EQ(passed, 0);
  }
}

using ModelParam = std::tuple<LinkKind, LinkMode, int>;

std::string ModelName(const ::testing::TestParamInfo<ModelParam>& info) {
  static constexpr const char* kModes[] = {"Quick", "Echo", "Glitch", "Rtt150", "Rtt250"};
  const int wrong = std::get<2>(info.param);
  return std::string(std::get<0>(info.param) == LinkKind::Tcp ? "Tcp_" : "Serial_") +
         kModes[static_cast<int>(std::get<1>(info.param))] + "_" +
         (wrong < 0 ? "Intact" : "WrongBlock" + std::to_string(wrong));
}

INSTANTIATE_TEST_SUITE_P(
    AllFates, VerificationModel,
    ::testing::Combine(::testing::Values(LinkKind::Tcp, LinkKind::Serial),
                       ::testing::Values(LinkMode::Quick, LinkMode::EchoingAdapter,
                                         LinkMode::GlitchingLine, LinkMode::RoundTrip150,
                                         LinkMode::RoundTrip250),
                       ::testing::Range(-1, kBlocks)),
    ModelName);

// A clean run sends what it always did, at the same moments: every pause of
// the sequence and nothing more, whichever link; before the run command the
// link stays quiet for a whole reply window after the last read-back reply.
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
        readBack + 301'000,         // last read-back, a whole quiet window, run command
    };
    EXPECT_EQ(gapsUs, expected) << (kind == LinkKind::Tcp ? "tcp" : "serial");
  }
}

}  // namespace
}  // namespace ql::testing_support
