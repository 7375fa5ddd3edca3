// Tones through ALSA. The device is opened without waiting for it to become
// free, and the samples are written with a deadline, so a stuck or busy sound
// server can never hold up a procedure by more than a fraction of a second.
#include "app/tone.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <numbers>
#include <thread>

namespace ql::app {
namespace {

constexpr int kSampleRate = 44100;
constexpr double kAmplitude = 0.4 * 32767.0;
constexpr int kFadeMs = 5;
// How long past the tone's own length the device may take before the tone is
// cut off.
constexpr std::chrono::milliseconds kSlack{250};

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

// Writes every sample before `deadline`; false when the device failed or the
// deadline passed first.
bool WriteAll(snd_pcm_t* pcm, const std::vector<std::int16_t>& samples,
              Clock::time_point deadline) {
  std::size_t done = 0;
  while (done < samples.size()) {
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
      snd_pcm_wait(pcm, wait);
      continue;
    }
    if (snd_pcm_recover(pcm, static_cast<int>(written), 1) < 0) {
      return false;
    }
  }
  return true;
}

// Waits until the device has played everything queued, or the deadline.
void WaitPlayed(snd_pcm_t* pcm, Clock::time_point deadline) {
  while (Clock::now() < deadline) {
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_delay(pcm, &delay) < 0 || delay <= 0) {
      return;
    }
    const auto delayMs = static_cast<int>(delay * 1000 / kSampleRate);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::clamp(delayMs, 1, 20)));
  }
}

bool PlayOnDevice(const std::vector<std::int16_t>& samples, Clock::time_point deadline) {
  InstallSilentErrorHandler();
  snd_pcm_t* pcm = nullptr;
  if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
    return false;
  }
  bool played = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                                   kSampleRate, 1, 100000) == 0 &&
                WriteAll(pcm, samples, deadline);
  if (played) {
    WaitPlayed(pcm, deadline);
  }
  snd_pcm_drop(pcm);
  snd_pcm_close(pcm);
  return played;
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

void PlayTone(int hz, int ms) {
  if (ms <= 0) {
    return;
  }
  const auto start = Clock::now();
  const auto length = std::chrono::milliseconds(ms);
  const bool played = PlayOnDevice(SineSamples(hz, ms, kSampleRate), start + length + kSlack);
  // The caller's pacing counts on the tone taking its length, heard or not.
  const auto end = start + length;
  if (!played || Clock::now() < end) {
    std::this_thread::sleep_until(end);
  }
}

}  // namespace ql::app
