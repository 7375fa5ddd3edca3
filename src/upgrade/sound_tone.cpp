// The tone that ends a step: told to the front end, its length taken on the clock.
#include "upgrade/sound_tone.h"

namespace ql::upgrade {

void SoundTone(Environment& env, const Tone& tone) {
  env.events.ToneStarted(tone);
  if (tone.ms > 0) {
    env.clock.SleepMs(static_cast<std::uint32_t>(tone.ms));
  }
}

}  // namespace ql::upgrade
