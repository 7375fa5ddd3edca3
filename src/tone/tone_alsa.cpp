// Tones through ALSA on the player's thread. The device is opened without
// waiting for it to become free, and the samples are written with a deadline
// and a look at the cut-off every few milliseconds, so a stuck or busy sound
// server holds up only the player, and never for long.
#include "tone/tone_output.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>

namespace ql::tone {
namespace {

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

void PlaySystemTone(const Tone& tone, const std::function<bool()>& cut) {
  const std::vector<std::int16_t> samples = SineSamples(tone.hz, tone.ms, kToneSampleRate);
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

}  // namespace ql::tone
