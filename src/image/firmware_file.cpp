// Placeholder until this module is written.
#include "image/firmware_file.h"
