// tovrel-ports: lists the serial ports a user can give to tovrel, one a line.
#include <iostream>
#include <string>
#include <vector>

#include "ports/port_json.h"
#include "ports/port_table.h"
#include "ports/ports_options.h"
#include "ports/system_ports.h"

int main(int argc, char** argv) {
  using namespace tovrel::ports;

  const PortsOptions options = ParsePortsOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (options.outcome == PortsOutcome::kHelp) {
    std::cout << PortsUsageText();
    return kExitOk;
  }
  if (options.outcome == PortsOutcome::kError) {
    std::cerr << kProgramName << ": " << options.error << "\nTry '" << kProgramName
              << " --help'.\n";
    return kExitUsage;
  }

  std::vector<PortInfo> ports;
  std::string error;
  const bool listed = ListSystemPorts(options.root, ports, error);
  const std::vector<Column>& columns = SystemColumns();
  if (!listed) {
    std::cerr << kProgramName << ": " << error << "\n";
    return kExitUnreadable;
  }
  std::cout << (options.json ? FormatPortJson(std::move(ports), columns)
                             : FormatPortTable(std::move(ports), columns));
  return kExitOk;
}
