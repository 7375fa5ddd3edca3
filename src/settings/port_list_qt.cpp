// The serial ports the system reports, through Qt's list of serial ports.
#include <QSerialPortInfo>

#include "settings/port_list.h"

namespace ql::settings {

std::vector<std::string> SystemPortNames() {
  std::vector<std::string> names;
  for (const QSerialPortInfo& port : QSerialPortInfo::availablePorts()) {
    names.push_back(port.systemLocation().toStdString());
  }
  return names;
}

}  // namespace ql::settings
