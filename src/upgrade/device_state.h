// What a connect leaves for the upgrade: the device family, the link it used
// and the loaded image. One per window, one per device in the command-line
// program.
#pragma once

#include <cstdint>
#include <string>

#include "image/block_table.h"
#include "link/link_settings.h"

namespace ql::upgrade {

struct DeviceState {
  link::LinkSettings link;
  std::string deviceFamily;  // empty until a handshake succeeds
  image::BlockTable blockTable;
  std::int32_t blockCount = 0;
};

}  // namespace ql::upgrade
