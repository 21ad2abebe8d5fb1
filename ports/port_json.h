// The port list as JSON, for scripts: an array of objects in the table's order, one member a
// column of the platform's list ("port", "vid_pid", ...), null where the system does not say.
#pragma once

#include <string>
#include <vector>

#include "ports/port_info.h"
#include "ports/port_table.h"

namespace tovrel::ports {

// The whole list, one port a line, ending with a line break; "[]" for none.
std::string FormatPortJson(std::vector<PortInfo> ports, const std::vector<Column>& columns);

}  // namespace tovrel::ports
