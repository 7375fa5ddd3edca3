// Tones through ALSA on the player's thread. The device is opened without
// waiting for it to become free, and the samples are written with a deadline
// and a look at the cut-off every few milliseconds, so a stuck or busy sound
// server holds up only the player, and never for long.
#include "app/tone.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>
#include <utility>

namespace ql::app {
namespace {

constexpr double kAmplitude = 0.4 * 32767.0;
constexpr int kFadeMs = 5;
// How long past the tone's own length the device may take before the tone is
// cut off.
constexpr std::chrono::milliseconds kSlack{250};
// How often the player looks whether the tone is to be cut off.
constexpr int kCutCheckMs = 10;

using Clock = std::chrono::steady_clock;

// ALSA prints its configuration complaints (no card, no server) to stderr;
// the utility has no console output, so they are dropped.
void SilentAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

void InstallSilentErrorHandler() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(&SilentAlsaErrors); });
}

int MsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Writes every sample before `deadline`; false when the device failed, the
// deadline passed first or the tone was cut off.
bool WriteAll(snd_pcm_t* pcm, const std::vector<std::int16_t>& samples, Clock::time_point deadline,
              const std::function<bool()>& cut) {
  std::size_t done = 0;
  while (done < samples.size()) {
    if (cut()) {
      return false;
    }
    const auto left = static_cast<snd_pcm_uframes_t>(samples.size() - done);
    const snd_pcm_sframes_t written = snd_pcm_writei(pcm, samples.data() + done, left);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
      continue;
    }
    if (written == -EAGAIN) {
      const int wait = MsUntil(deadline);
      if (wait == 0) {
        return false;
      }
      snd_pcm_wait(pcm, std::min(wait, kCutCheckMs));
      continue;
    }
    if (snd_pcm_recover(pcm, static_cast<int>(written), 1) < 0) {
      return false;
    }
  }
  return true;
}

// Waits until the device has played everything queued, the deadline, or the cut.
void WaitPlayed(snd_pcm_t* pcm, Clock::time_point deadline, const std::function<bool()>& cut) {
  while (Clock::now() < deadline && !cut()) {
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_delay(pcm, &delay) < 0 || delay <= 0) {
      return;
    }
    const auto delayMs = static_cast<int>(delay * 1000 / kToneSampleRate);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::clamp(delayMs, 1, kCutCheckMs)));
  }
}

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

void PlayOnAlsa(const std::vector<std::int16_t>& samples, const std::function<bool()>& cut) {
  if (samples.empty()) {
    return;
  }
  InstallSilentErrorHandler();
  const auto length =
      std::chrono::milliseconds(static_cast<long long>(samples.size()) * 1000 / kToneSampleRate);
  const auto deadline = Clock::now() + length + kSlack;
  snd_pcm_t* pcm = nullptr;
  if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
    return;
  }
  if (snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1, kToneSampleRate,
                         1, 100000) == 0 &&
      WriteAll(pcm, samples, deadline, cut)) {
    WaitPlayed(pcm, deadline, cut);
  }
  snd_pcm_drop(pcm);
  snd_pcm_close(pcm);
}

TonePlayer::TonePlayer() : TonePlayer(&PlayOnAlsa) {}

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
    pending_ = Request{hz, ms};
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
    const Request request = *pending_;
    pending_.reset();
    const std::uint64_t number = asked_;
    lock.unlock();
    const std::vector<std::int16_t> samples = SineSamples(request.hz, request.ms, kToneSampleRate);
    output_(samples, [this, number] { return stopping_ || asked_ != number; });
    lock.lock();
  }
}

}  // namespace ql::app
