// Placeholder until this module is written.
#include "link/command_exchange.h"
