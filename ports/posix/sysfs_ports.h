// The serial ports of a Linux system, read from sysfs: every tty under /sys/class/tty that has a
// device behind it, less the serial-core placeholders that found no UART (type 0), with its
// driver, the USB device's ids and strings when it sits on USB, its stable name under
// /dev/serial/by-id/, and whether the current user may open its node.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ports/port_info.h"

namespace tovrel::ports {

struct SysfsView {
  // Where / is: sysfs is read from <root>/sys and nodes are looked for under <root>/dev, while
  // every name shown stays as the system would give it ("/dev/ttyUSB0").
  std::string root = "/";
  // Whether the user may open the node at this path (under `root`) for reading and writing.
  std::function<bool(const std::string& path)> may_open;
  // The name of a group id, for the hint on a port the user may not open.
  std::function<std::string(unsigned group_id)> group_name;
};

// The real system's view: access(2) for the user's permission, the group database for names.
SysfsView SystemSysfsView(const std::string& root);

// False, with `error` saying why, when <root>/sys/class/tty cannot be read.
bool ListSysfsPorts(const SysfsView& view, std::vector<PortInfo>& ports, std::string& error);

}  // namespace tovrel::ports
