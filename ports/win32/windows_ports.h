// The COM ports of a Windows system: the present devices of the Ports class (SetupAPI), with
// their friendly names, drivers, manufacturers and USB ids, then any port that only the
// registry's SERIALCOMM list knows (virtual ports without a device node).
#pragma once

#include <string>
#include <vector>

#include "ports/port_info.h"

namespace tovrel::ports {

// False, with `error` saying why, when neither source could be read.
bool ListWindowsPorts(std::vector<PortInfo>& ports, std::string& error);

}  // namespace tovrel::ports
