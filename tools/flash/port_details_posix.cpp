// Serial port details from sysfs and udev's by-id links.
#include "port_details.h"

#include <filesystem>
#include <fstream>

namespace ql::flash {
namespace {

namespace fs = std::filesystem;

// The first line of a sysfs attribute, empty when it is not there.
std::string Attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

PortDetails DescribePort(const std::string& path, const std::string& sysRoot,
                         const std::string& byIdFolder) {
  PortDetails port;
  port.path = path;
  std::error_code error;
  const std::string name = fs::path(path).filename().string();
  // The tty's device, then up its parents to the USB device that carries
  // the vendor and product IDs.
  fs::path device = fs::canonical(fs::path(sysRoot) / "class" / "tty" / name / "device", error);
  for (; !error && !device.empty() && device != device.root_path(); device = device.parent_path()) {
    if (fs::exists(device / "idVendor", error) && fs::exists(device / "idProduct", error)) {
      port.vidPid = Attribute(device / "idVendor") + ":" + Attribute(device / "idProduct");
      port.description = Attribute(device / "product");
      port.maker = Attribute(device / "manufacturer");
      port.serial = Attribute(device / "serial");
      break;
    }
  }
  const fs::path real = fs::canonical(path, error);
  if (!error) {
    for (const auto& entry : fs::directory_iterator(byIdFolder, error)) {
      std::error_code again;
      if (fs::canonical(entry.path(), again) == real && !again) {
        port.stableName = entry.path().string();
        break;
      }
    }
  }
  return port;
}

}  // namespace ql::flash
