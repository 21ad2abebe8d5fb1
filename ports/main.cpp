// tovrel-ports: lists the serial ports a user can give to tovrel, one a line.
#include <iostream>
#include <string>
#include <vector>

#include "ports/port_json.h"
#include "ports/port_table.h"
#include "ports/ports_options.h"
#ifdef _WIN32
#include "ports/windows_ports.h"
#else
#include "ports/sysfs_ports.h"
#endif

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
#ifdef _WIN32
  const bool listed = ListWindowsPorts(ports, error);
  const std::vector<Column>& columns = WindowsColumns();
#else
  const bool listed = ListSysfsPorts(SystemSysfsView(options.root), ports, error);
  const std::vector<Column>& columns = LinuxColumns();
#endif
  if (!listed) {
    std::cerr << kProgramName << ": " << error << "\n";
    return kExitUnreadable;
  }
  std::cout << (options.json ? FormatPortJson(std::move(ports), columns)
                             : FormatPortTable(std::move(ports), columns));
  return kExitOk;
}
