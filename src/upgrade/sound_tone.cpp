// The tone that ends a step: started on the view, its length taken on the clock.
#include "upgrade/sound_tone.h"

namespace ql::upgrade {

void SoundTone(Environment& env, int hz, int ms) {
  env.view.Tone(hz, ms);
  if (ms > 0) {
    env.clock.SleepMs(static_cast<std::uint32_t>(ms));
  }
}

}  // namespace ql::upgrade
