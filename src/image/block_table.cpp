// Placeholder until this module is written.
#include "image/block_table.h"
