// The tone that ends a step, as the procedures sound it.
#pragma once

#include "upgrade/procedures.h"

namespace ql::upgrade {

// Tells the front end the tone and pauses the procedure for its length on
// the procedure's clock. The device waits through the tone: the pause between
// the last reply and what follows is part of the traffic it sees, so it lasts
// the tone's length in every front end, heard or not.
void SoundTone(Environment& env, const Tone& tone);

}  // namespace ql::upgrade
