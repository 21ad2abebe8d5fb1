// The name of the machine a run is on: a fleet flashed from several hosts gathers their records
// in one file, where a port such as /dev/ttyUSB0 means a different unit on each host.
#pragma once

#include <string>

namespace tovrel {

// The system's name for this host; empty when it does not say.
std::string HostName();

}  // namespace tovrel
