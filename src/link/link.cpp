// Placeholder until this module is written.
#include "link/link.h"
