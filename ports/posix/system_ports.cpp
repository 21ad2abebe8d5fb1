#include "ports/system_ports.h"

#include "ports/posix/sysfs_ports.h"

namespace tovrel::ports {

bool ListingTakesRoot() {
  return true;
}

bool ListSystemPorts(const std::string& root, std::vector<PortInfo>& ports, std::string& error) {
  return ListSysfsPorts(SystemSysfsView(root), ports, error);
}

const std::vector<Column>& SystemColumns() {
  return LinuxColumns();
}

}  // namespace tovrel::ports
