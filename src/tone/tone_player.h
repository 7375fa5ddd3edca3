// The tones that end each step of the window: a tone of a given pitch and
// length, played on a thread of its own so that nobody waits for the sound
// device. The system's side is in tone_output.h.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace ql::tone {

struct Tone {
  int hz = 0;
  int ms = 0;
};

inline constexpr int kToneSampleRate = 44100;

// One channel of signed 16-bit samples at `sampleRate`: `ms` milliseconds of
// a sine of `hz`, with a few milliseconds of fade at both ends so the tone
// starts and stops without a click.
std::vector<std::int16_t> SineSamples(int hz, int ms, int sampleRate);

// Plays the tones asked of it one after the other on its own thread. Asking
// never waits: the procedure's pacing does not depend on how soon the sound
// device opens, how long it takes to drain, or whether there is one at all.
class TonePlayer {
 public:
  // Plays `tone`; returns once it has been heard, the device failed, or
  // `cut()` holds. It looks at `cut` every few milliseconds where it can, so
  // a newer tone or the player's end stops it promptly.
  using Output = std::function<void(const Tone& tone, const std::function<bool()>& cut)>;

  // Plays on the system's sound device (PlaySystemTone).
  TonePlayer();
  explicit TonePlayer(Output output);
  // Cuts the tone that plays and waits for the thread.
  ~TonePlayer();
  TonePlayer(const TonePlayer&) = delete;
  TonePlayer& operator=(const TonePlayer&) = delete;

  // Hands the tone to the player thread and returns at once. A tone still
  // playing is cut off, and one that has not begun yet is replaced: the
  // newest tone is the one that belongs to what the window shows.
  void Start(int hz, int ms);

 private:
  void Run();

  Output output_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<Tone> pending_;  // guarded by mutex_
  // Counts the tones asked for; the one playing is cut once it moves on.
  std::atomic<std::uint64_t> asked_{0};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace ql::tone
