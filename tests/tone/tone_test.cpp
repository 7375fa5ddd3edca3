// The tones: their samples, and a player that never keeps anyone waiting.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
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
// has stopped answering: it returns only once the tone is cut off, or, when
// told to heed no cut, once the test lets it go. A long bound ends it in any
// case, so that a broken player fails the test instead of hanging it; no
// test that passes comes near it.
class StuckOutput {
 public:
  static constexpr auto kGiveUp = std::chrono::seconds(60);

  explicit StuckOutput(bool heedsCut = true) : heedsCut_(heedsCut) {}

  TonePlayer::Output Make() {
    return [this](const Tone& tone, const std::function<bool()>& cut) {
      {
        const std::lock_guard lock(mutex_);
        ++started_;
      }
      changed_.notify_all();
      const auto giveUp = std::chrono::steady_clock::now() + kGiveUp;
      bool wasCut = false;
      for (;;) {
        wasCut = cut();
        if ((heedsCut_ && wasCut) || released_ || std::chrono::steady_clock::now() >= giveUp) {
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      {
        const std::lock_guard lock(mutex_);
        played_.push_back({tone, wasCut});
      }
      changed_.notify_all();
    };
  }

  // Lets a tone that heeds no cut return.
  void Release() { released_ = true; }

  // Waits until `count` tones have begun; false only for a broken player.
  bool WaitStarted(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return started_ >= count; });
  }

  bool WaitPlayed(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30),
                             [&] { return played_.size() >= count; });
  }

  std::vector<Played> played() {
    const std::lock_guard lock(mutex_);
    return played_;
  }

 private:
  const bool heedsCut_;
  std::atomic<bool> released_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  int started_ = 0;
  std::vector<Played> played_;
};

TEST(TonePlayer, AskingNeverWaitsForAStuckDevice) {
  // The device holds the first tone and heeds no cut: asking for more
  // returns all the same, while that tone is still being played.
  StuckOutput output(/*heedsCut=*/false);
  TonePlayer player(output.Make());
  player.Start(1000, 300);
  ASSERT_TRUE(output.WaitStarted(1));
  player.Start(300, 300);
  player.Start(1000, 100);
  EXPECT_TRUE(output.played().empty()) << "asking waited for the device";
  output.Release();
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

TEST(TonePlayer, EndingThePlayerCutsOffItsTone) {
  StuckOutput output;
  auto player = std::make_unique<TonePlayer>(output.Make());
  player->Start(300, 300);
  ASSERT_TRUE(output.WaitStarted(1));
  // Returns once the tone is cut; a player that waited for the device
  // instead would come back only at the output's long bound, uncut.
  player.reset();
  ASSERT_EQ(output.played().size(), 1U);
  EXPECT_TRUE(output.played()[0].cut);
}

// On ALSA's null device, the same on every machine: a tone cut off before it
// began writes nothing and returns at the first look, and a whole tone
// returns by itself.
TEST(TonePlayer, AlsaHeedsTheCutAndReturnsByItself) {
  // ALSA takes the path as a list: no blanks in it.
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / ("ql-alsa-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  const fs::path conf = folder / "asound.conf";
  std::ofstream(conf) << "pcm.!default { type null }\n";
  ::setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
  const Tone tone{1000, 150};

  int looks = 0;
  PlaySystemTone(tone, [&looks] {
    ++looks;
    return true;
  });
  EXPECT_EQ(looks, 1);

  auto played = std::async(std::launch::async, [&tone] {
    int uncutLooks = 0;
    PlaySystemTone(tone, [&uncutLooks] {
      ++uncutLooks;
      return false;
    });
    return uncutLooks;
  });
  ASSERT_EQ(played.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_GE(played.get(), 1);
  ::unsetenv("ALSA_CONFIG_PATH");
  fs::remove_all(folder);
}

}  // namespace
}  // namespace ql::tone
