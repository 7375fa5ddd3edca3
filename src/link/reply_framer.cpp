// Placeholder until this module is written.
#include "link/reply_framer.h"
