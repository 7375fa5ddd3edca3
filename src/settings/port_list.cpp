// Placeholder until this module is written.
#include "settings/port_list.h"
