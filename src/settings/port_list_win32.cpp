// The serial ports the system reports on Windows: its serial-port map.
#include "settings/port_list.h"
#include "settings/registry_store_win32.h"

namespace ql::settings {

std::vector<std::string> SystemPortNames() {
  return RegistryStringValues(HKEY_LOCAL_MACHINE, kSerialPortMapPath);
}

}  // namespace ql::settings
