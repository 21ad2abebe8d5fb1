// tovrel-pty-device: an emulated Velmor transporter/printer at the far end of a pseudo-terminal
// that a real serial port server drives as its serial port.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "emulator/pty/pty_device.h"
#include "emulator/pty/pty_options.h"
#include "emulator/server/device_report.h"
#include "emulator/server/emulator_server.h"
#include "serial/clock.h"

namespace {

using namespace tovrel;

// Stop signals are held pending and looked for between steps, as in tovrel-emulator; the
// signalfd only ends the device's waits at once.
bool StopRequested() {
  sigset_t pending;
  sigemptyset(&pending);
  return sigpending(&pending) == 0 &&
         (sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1);
}

void Report(const char* what, const pty::FarPortState& port, const EmulatedDevice& device,
            const pty::PtyOptions& options) {
  std::cout << what << ": " << pty::Describe(port) << "; " << server::DescribeDevice(device)
            << std::endl;
  if (options.device.save_image && server::UpdateStarted(device)) {
    server::SaveImage(*options.device.save_image, device, pty::kPtyProgramName, std::cout,
                      std::cerr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const pty::PtyParseResult parsed = pty::ParsePtyOptions(arguments);
  if (parsed.outcome == server::ParseOutcome::kHelp) {
    std::cout << pty::PtyUsageText();
    return server::kExitOk;
  }
  if (parsed.outcome == server::ParseOutcome::kError) {
    std::cerr << pty::kPtyProgramName << ": " << parsed.error << "\nTry '" << pty::kPtyProgramName
              << " --help'.\n";
    return server::kExitUsage;
  }
  const pty::PtyOptions& options = parsed.options;

  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int stop_descriptor = signalfd(-1, &stop_signals, SFD_CLOEXEC | SFD_NONBLOCK);

  SystemClock clock;
  pty::PtyDevice device(clock, options.device.config, options.device.faults);
  std::string error;
  if (!device.Open(options.modem_lines, error)) {
    std::cerr << pty::kPtyProgramName << ": " << error << std::endl;
    return server::kExitUsage;
  }
  std::cout << pty::kPtyProgramName << " on " << device.TerminalPath() << std::endl;

  std::uint32_t closes = 0;
  bool stopped = false;
  while (!(stopped = StopRequested())) {
    device.Step(stop_descriptor);
    if (device.Closes() != closes) {
      closes = device.Closes();
      Report("port closed", device.PortAtLastClose(), device.Device(), options);
      if (options.device.once) {
        break;
      }
    }
  }
  if (stopped) {
    Report("stopped", device.Port(), device.Device(), options);
  }
  if (stop_descriptor >= 0) {
    close(stop_descriptor);
  }
  if (options.device.once) {
    return device.Device().ProgrammingComplete() ? server::kExitOk : server::kExitNoCompleteImage;
  }
  return server::kExitOk;
}
