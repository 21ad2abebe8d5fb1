// On Linux the USB adapters come from sysfs, as tovrel-ports reads them, and a device is opened
// by the name it is listed under.
#include "app/port_names.h"
#include "ports/posix/sysfs_ports.h"

namespace tovrel {

std::unique_ptr<PortNames> MakeSystemPortNames() {
  return std::make_unique<ListedPortNames>(
      [](std::vector<ports::PortInfo>& listed, std::string& error) {
        return ports::ListSysfsPorts(ports::SystemSysfsView("/"), listed, error);
      },
      [](const std::string& name) { return name; });
}

}  // namespace tovrel
