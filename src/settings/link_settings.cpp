// Placeholder until this module is written.
#include "settings/link_settings.h"
