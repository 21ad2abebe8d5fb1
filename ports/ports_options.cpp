#include "ports/ports_options.h"

#include "ports/system_ports.h"

namespace tovrel::ports {
namespace {

constexpr char kRootOption[] = "--root";

PortsOptions Error(std::string message) {
  PortsOptions options;
  options.outcome = PortsOutcome::kError;
  options.error = std::move(message);
  return options;
}

}  // namespace

PortsOptions ParsePortsOptions(const std::vector<std::string>& arguments) {
  PortsOptions options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      options.outcome = PortsOutcome::kHelp;
      return options;
    }
    if (argument == "--json") {
      options.json = true;
      continue;
    }
    const std::string root_equals = std::string(kRootOption) + "=";
    std::string root;
    if (ListingTakesRoot() && argument == kRootOption) {
      if (i + 1 == arguments.size()) {
        return Error("option '--root' needs a directory");
      }
      root = arguments[++i];
    } else if (ListingTakesRoot() && argument.compare(0, root_equals.size(), root_equals) == 0) {
      root = argument.substr(root_equals.size());
    } else if (argument.compare(0, 2, "--") == 0) {
      return Error("unknown option '" + argument + "'");
    } else {
      return Error("unexpected argument '" + argument + "'");
    }
    if (root.empty()) {
      return Error("option '--root' needs a directory");
    }
    options.root = root;
  }
  return options;
}

std::string PortsUsageText() {
  std::string text =
      "Usage: tovrel-ports [options]\n"
      "  Lists the serial ports, one a line, with what the system knows about each: the\n"
      "  name to give tovrel as its port, and for USB adapters the vendor and product id,\n"
      "  serial number, manufacturer and product.\n";
  if (ListingTakesRoot()) {
    text +=
        "  On Linux it also shows the driver, the stable name under /dev/serial/by-id/\n"
        "  and whether you may open the port (ACCESS: yes, no, or no with the group to\n"
        "  join; missing when the port has no node under /dev).\n"
        "\n"
        "  --root DIR   read sysfs and /dev under DIR instead of / (names stay as shown\n"
        "               by the system)\n";
  } else {
    text +=
        "  The ports come from the Ports device class and the registry's SERIALCOMM list.\n"
        "\n";
  }
  text +=
      "  --json       print the list as JSON: an array of objects, one a port, with the\n"
      "               columns as members and null where the system does not say\n"
      "  --help       show this text\n"
      "\n"
      "Exit status: 0 when the list was read (also when it is empty), 1 when it could not\n"
      "be read, 2 for a bad command line.\n";
  return text;
}

}  // namespace tovrel::ports
