// The command line of tovrel-ports.
#pragma once

#include <string>
#include <vector>

namespace tovrel::ports {

inline constexpr char kProgramName[] = "tovrel-ports";
inline constexpr int kExitOk = 0;
inline constexpr int kExitUnreadable = 1;  // the system's list of ports could not be read
inline constexpr int kExitUsage = 2;

enum class PortsOutcome { kList, kHelp, kError };

struct PortsOptions {
  PortsOutcome outcome = PortsOutcome::kList;
  std::string root = "/";  // Linux: the tree sysfs and /dev are read under
  bool json = false;       // --json: the list as JSON instead of the table
  std::string error;       // for kError: one line, without the program name
};

// Reads the arguments after the program name: "--root DIR" or "--root=DIR" (Linux only),
// "--json" and "--help".
PortsOptions ParsePortsOptions(const std::vector<std::string>& arguments);

// The text --help prints, ending with a line break.
std::string PortsUsageText();

}  // namespace tovrel::ports
