// On Windows the USB adapters come from SetupAPI and the registry, as tovrel-ports reads them,
// and every COM port is opened through the "\\.\" device namespace: CreateFile finds COM1 to
// COM9 without it, but not COM10 and above.
#include "app/port_names.h"
#include "ports/win32/windows_ports.h"

namespace tovrel {

std::unique_ptr<PortNames> MakeSystemPortNames() {
  return std::make_unique<ListedPortNames>(ports::ListWindowsPorts, Win32DevicePath);
}

}  // namespace tovrel
