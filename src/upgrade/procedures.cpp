// Placeholder until this module is written.
#include "upgrade/procedures.h"
