// Tones through the system's Beep, which plays a tone of the given pitch and
// length on the default sound device and returns when it has ended. It
// cannot be cut off once it sounds; a tone lasts at most a few hundred
// milliseconds, and the player asks only from its own thread.
#include <windows.h>

#include "tone/tone_output.h"

namespace ql::tone {
namespace {

// The pitches Beep accepts.
constexpr int kLowestHz = 37;
constexpr int kHighestHz = 32767;

}  // namespace

void PlaySystemTone(const Tone& tone, const std::function<bool()>& cut) {
  if (tone.hz < kLowestHz || tone.hz > kHighestHz || tone.ms <= 0 || cut()) {
    return;
  }
  ::Beep(static_cast<DWORD>(tone.hz), static_cast<DWORD>(tone.ms));
}

}  // namespace ql::tone
