// Placeholder until this module is written.
#include "settings/settings.h"
