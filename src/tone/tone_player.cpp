// The tone player's thread, and the samples of a sine tone.
#include "tone/tone_player.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

#include "tone/tone_output.h"

namespace ql::tone {
namespace {

constexpr double kAmplitude = 0.4 * 32767.0;
constexpr int kFadeMs = 5;

}  // namespace

std::vector<std::int16_t> SineSamples(int hz, int ms, int sampleRate) {
  if (hz <= 0 || ms <= 0 || sampleRate <= 0) {
    return {};
  }
  const auto count = static_cast<std::size_t>(static_cast<long long>(sampleRate) * ms / 1000);
  const auto fade = static_cast<std::size_t>(static_cast<long long>(sampleRate) * kFadeMs / 1000);
  std::vector<std::int16_t> samples(count);
  const double step = 2.0 * std::numbers::pi * hz / sampleRate;
  for (std::size_t i = 0; i < count; ++i) {
    double gain = 1.0;
    if (fade > 0) {
      const std::size_t edge = std::min(i, count - 1 - i);
      gain = std::min(1.0, static_cast<double>(edge) / static_cast<double>(fade));
    }
    samples[i] = static_cast<std::int16_t>(std::lround(kAmplitude * gain * std::sin(step * i)));
  }
  return samples;
}

TonePlayer::TonePlayer() : TonePlayer(&PlaySystemTone) {}

TonePlayer::TonePlayer(Output output) : output_(std::move(output)) {
  thread_ = std::thread([this] { Run(); });
}

TonePlayer::~TonePlayer() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void TonePlayer::Start(int hz, int ms) {
  {
    const std::lock_guard lock(mutex_);
    pending_ = Tone{hz, ms};
    ++asked_;
  }
  wake_.notify_one();
}

void TonePlayer::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || pending_.has_value(); });
    if (stopping_) {
      return;
    }
    const Tone tone = *pending_;
    pending_.reset();
    const std::uint64_t number = asked_;
    lock.unlock();
    output_(tone, [this, number] { return stopping_ || asked_ != number; });
    lock.lock();
  }
}

}  // namespace ql::tone
