// The tones: their samples, and how long playing one takes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "app/tone.h"

namespace ql::app {
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

TEST(Tone, TakesItsLengthAndLittleMore) {
  const auto start = std::chrono::steady_clock::now();
  PlayTone(1000, 150);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(150));
  EXPECT_LT(took, std::chrono::milliseconds(150 + 600));
}

}  // namespace
}  // namespace ql::app
