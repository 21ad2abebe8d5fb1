#include "ports/system_ports.h"

#include "ports/win32/windows_ports.h"

namespace tovrel::ports {

bool ListingTakesRoot() {
  return false;  // the list comes from the system's own calls
}

bool ListSystemPorts(const std::string& /*root*/, std::vector<PortInfo>& ports,
                     std::string& error) {
  return ListWindowsPorts(ports, error);
}

const std::vector<Column>& SystemColumns() {
  return WindowsColumns();
}

}  // namespace tovrel::ports
