// The serial ports of the system the program runs on, as tovrel-ports lists them: from sysfs on
// Linux (posix/), from SetupAPI and the registry on Windows (win32/).
#pragma once

#include <string>
#include <vector>

#include "ports/port_info.h"
#include "ports/port_table.h"

namespace tovrel::ports {

// Whether the listing reads a file tree that --root can move elsewhere.
bool ListingTakesRoot();
// The ports, reading the system under `root` where the listing takes one.
bool ListSystemPorts(const std::string& root, std::vector<PortInfo>& ports, std::string& error);
// The columns the table shows on this platform.
const std::vector<Column>& SystemColumns();

}  // namespace tovrel::ports
