// The tones: their samples, and a player that never keeps anyone waiting.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "tone/tone_output.h"
#include "tone/tone_player.h"

namespace ql::tone {
namespace {

TEST(Tone, SamplesHoldTheAskedPitchAndLengthAndStartAndEndQuietly) {
  const struct {
    int hz;
    int ms;
  } tones[] = {{300, 300}, {1000, 300}, {1000, 100}};
  for (const auto& t : tones) {
    const std::vector<std::int16_t> samples = SineSamples(t.hz, t.ms, 44100);
    ASSERT_EQ(samples.size(), static_cast<std::size_t>(44100 * t.ms / 1000)) << t.hz;
    int crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
      crossings += (samples[i - 1] < 0) != (samples[i] < 0) ? 1 : 0;
    }
    const int expected = 2 * t.hz * t.ms / 1000;
    EXPECT_NEAR(crossings, expected, 2) << t.hz << " Hz";
    EXPECT_LT(std::abs(samples.front()), 300);
    EXPECT_LT(std::abs(samples.back()), 300);
  }
  EXPECT_TRUE(SineSamples(1000, 0, 44100).empty());
}

// What the player hands its output: each tone, and whether it was cut off
// before it had been heard.
struct Played {
  Tone tone;
  bool cut;
};

// An output that never finishes a tone by itself, like a sound server that
// has stopped answering: it returns only once the tone is cut off, or after
// a long bound so that a broken player fails the test instead of hanging it.
class StuckOutput {
 public:
  TonePlayer::Output Make() {
    return [this](const Tone& tone, const std::function<bool()>& cut) {
      {
        const std::lock_guard lock(mutex_);
        ++started_;
      }
      changed_.notify_all();
      const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      bool wasCut = false;
      while (!(wasCut = cut()) && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      {
        const std::lock_guard lock(mutex_);
        played_.push_back({tone, wasCut});
      }
      changed_.notify_all();
    };
  }

  // Waits until `count` tones have begun, at most two seconds.
  bool WaitStarted(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(2), [&] { return started_ >= count; });
  }

  bool WaitPlayed(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(2),
                             [&] { return played_.size() >= count; });
  }

  std::vector<Played> played() {
    const std::lock_guard lock(mutex_);
    return played_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int started_ = 0;
  std::vector<Played> played_;
};

using Steady = std::chrono::steady_clock;

TEST(TonePlayer, AskingNeverWaitsForAStuckDevice) {
  StuckOutput output;
  TonePlayer player(output.Make());
  for (const auto& [hz, ms] : {std::pair{1000, 300}, {300, 300}, {1000, 100}}) {
    const auto start = Steady::now();
    player.Start(hz, ms);
    // Handing the tone over takes a lock and a wake-up, nothing more.
    EXPECT_LT(Steady::now() - start, std::chrono::milliseconds(20)) << hz << " Hz " << ms << " ms";
  }
}

TEST(TonePlayer, ANewToneCutsOffTheOneStillPlaying) {
  StuckOutput output;
  TonePlayer player(output.Make());
  player.Start(1000, 300);
  ASSERT_TRUE(output.WaitStarted(1));
  player.Start(300, 100);
  ASSERT_TRUE(output.WaitStarted(2));
  ASSERT_TRUE(output.WaitPlayed(1));
  const std::vector<Played> played = output.played();
  ASSERT_GE(played.size(), 1U);
  EXPECT_EQ(played[0].tone.hz, 1000);
  EXPECT_EQ(played[0].tone.ms, 300);
  EXPECT_TRUE(played[0].cut);
}

TEST(TonePlayer, EndingThePlayerCutsOffItsToneAndReturnsPromptly) {
  StuckOutput output;
  auto player = std::make_unique<TonePlayer>(output.Make());
  player->Start(300, 300);
  ASSERT_TRUE(output.WaitStarted(1));
  const auto start = Steady::now();
  player.reset();
  EXPECT_LT(Steady::now() - start, std::chrono::milliseconds(500));
  ASSERT_EQ(output.played().size(), 1U);
  EXPECT_TRUE(output.played()[0].cut);
}

TEST(TonePlayer, TheSystemReturnsWithinTheToneAndItsSlackWhateverTheMachineHas) {
  const Tone tone{1000, 150};
  const auto start = Steady::now();
  PlaySystemTone(tone, [] { return false; });
  EXPECT_LT(Steady::now() - start, std::chrono::milliseconds(150 + 250 + 200));

  const auto cutStart = Steady::now();
  PlaySystemTone(tone, [] { return true; });
  EXPECT_LT(Steady::now() - cutStart, std::chrono::milliseconds(100));
}

}  // namespace
}  // namespace ql::tone
