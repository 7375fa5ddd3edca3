// The system's sound device, as the tone player uses it. Each platform
// brings its own implementation: ALSA on Linux (tone_alsa.cpp), the
// system's Beep on Windows (tone_beep_win32.cpp).
#pragma once

#include <functional>

#include "tone/tone_player.h"

namespace ql::tone {

// Plays `tone` on the system's sound device, giving up at `cut()` or when the
// device takes much longer than the tone lasts. Without a usable device it
// returns at once. Safe to call from any one thread at a time.
void PlaySystemTone(const Tone& tone, const std::function<bool()>& cut);

}  // namespace ql::tone
