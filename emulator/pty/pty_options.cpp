#include "emulator/pty/pty_options.h"

namespace tovrel::pty {
namespace {

constexpr char kModemLinesOption[] = "--modem-lines";

bool Named(const std::string& argument, const std::string& option) {
  return argument == option || argument.compare(0, option.size() + 1, option + "=") == 0;
}

PtyParseResult Error(std::string message) {
  PtyParseResult result;
  result.outcome = ParseOutcome::kError;
  result.error = std::move(message);
  return result;
}

}  // namespace

PtyParseResult ParsePtyOptions(const std::vector<std::string>& arguments) {
  std::vector<std::string> rest;
  std::string modem_lines;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (Named(argument, "--listen")) {
      return Error("option '--listen' belongs to tovrel-emulator: this device sits on a terminal");
    }
    if (!Named(argument, kModemLinesOption)) {
      rest.push_back(argument);
      continue;
    }
    if (argument.size() > sizeof kModemLinesOption - 1) {
      modem_lines = argument.substr(sizeof kModemLinesOption);
    } else if (i + 1 < arguments.size()) {
      modem_lines = arguments[++i];
    }
    if (modem_lines.empty()) {
      return Error("option '--modem-lines' needs a file name");
    }
  }
  PtyParseResult result;
  result.outcome = ParseDeviceOptions(rest, {}, result.options.device, result.error);
  result.options.modem_lines = modem_lines;
  if (result.outcome == ParseOutcome::kRun && modem_lines.empty()) {
    return Error("option '--modem-lines' is required");
  }
  return result;
}

std::string PtyUsageText() {
  return "Usage: tovrel-pty-device --modem-lines FILE [--once] [--save-image PATH] [options]\n"
         "  Plays an emulated Velmor transporter/printer at the far end of a pseudo-terminal,\n"
         "  for a serial port server to drive as its serial port. Prints the terminal's path.\n"
         "  The server is run with LD_PRELOAD naming libtovrel_pty_modem_lines.so and\n"
         "  TOVREL_MODEM_LINES=FILE, so that its modem-line calls reach the device's CTS and\n"
         "  the device sees its DTR and RTS.\n"
         "\n"
         "  --modem-lines FILE        where the shared modem lines are kept\n"
         "  --once                    exit when the server first closes the terminal: status 0\n"
         "                            when the device received a complete image, else 1\n"
         "  --save-image PATH         write the received image to PATH at each close that\n"
         "                            follows the start of an update\n"
         "\n"
         "Every device and fault option of tovrel-emulator applies (see tovrel-emulator --help).\n"
         "SIGINT or SIGTERM stops the device.\n";
}

}  // namespace tovrel::pty
