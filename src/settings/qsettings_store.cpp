// Placeholder until this module is written.
#include "settings/qsettings_store.h"
