// tovrel-emulator: an emulated Velmor transporter/printer behind an RFC 2217 serial port server.
#include <iostream>
#include <string>
#include <vector>

#include "core/clock.h"
#include "emulator/server/emulator_server.h"
#include "emulator/server/server_options.h"
#include "emulator/stop_signals.h"

int main(int argc, char** argv) {
  using namespace tovrel::server;

  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const ParseResult parsed = ParseServerOptions(arguments);
  if (parsed.outcome == tovrel::ParseOutcome::kHelp) {
    std::cout << UsageText();
    return tovrel::kExitOk;
  }
  if (parsed.outcome == tovrel::ParseOutcome::kError) {
    std::cerr << kProgramName << ": " << parsed.error << "\nTry '" << kProgramName << " --help'.\n";
    return tovrel::kExitUsage;
  }

  const tovrel::StopSignals stop;
  tovrel::SystemClock clock;
  return RunEmulatorServer(parsed.options, clock, std::cout, std::cerr,
                           tovrel::StopSignals::Requested, stop.Descriptor());
}
