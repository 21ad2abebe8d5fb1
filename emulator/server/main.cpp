// tovrel-emulator: an emulated Velmor transporter/printer behind an RFC 2217 serial port server.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "core/clock.h"
#include "emulator/server/emulator_server.h"
#include "emulator/server/server_options.h"

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

  // SIGINT and SIGTERM are held pending rather than handled, and the server looks for them
  // between steps: a stop then always falls between two whole steps, and no handler has to
  // share state with the program.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  // Readable while one of them is pending, so that the server's waits end at once for a stop
  // (the signals stay pending: reading it is not needed, and the check below still sees them).
  const int stop_descriptor = signalfd(-1, &stop_signals, SFD_CLOEXEC | SFD_NONBLOCK);
  // A reader of the log that has gone away must not end the server.
  signal(SIGPIPE, SIG_IGN);
  const auto stop_requested = [] {
    sigset_t pending;
    sigemptyset(&pending);
    return sigpending(&pending) == 0 &&
           (sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1);
  };

  tovrel::SystemClock clock;
  const int status = RunEmulatorServer(parsed.options, clock, std::cout, std::cerr, stop_requested,
                                       stop_descriptor);
  if (stop_descriptor >= 0) {
    close(stop_descriptor);
  }
  return status;
}
