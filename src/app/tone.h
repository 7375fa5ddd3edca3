// The tones that end each step: a sine tone of a given pitch and length.
#pragma once

#include <cstdint>
#include <vector>

namespace ql::app {

// Plays a sine tone of `hz` for `ms` milliseconds on the default sound
// device and returns when it has been heard. Without a usable sound device
// the call still takes the tone's length, silently. It never takes much
// longer than the tone itself, whatever the device does.
void PlayTone(int hz, int ms);

// One channel of signed 16-bit samples at `sampleRate`: `ms` milliseconds of
// a sine of `hz`, with a few milliseconds of fade at both ends so the tone
// starts and stops without a click.
std::vector<std::int16_t> SineSamples(int hz, int ms, int sampleRate);

}  // namespace ql::app
