// tovrel-pty-device: an emulated Velmor transporter/printer at the far end of a pseudo-terminal
// that a real serial port server drives as its serial port.
#include <sys/ioctl.h>

#include <iostream>
#include <string>
#include <vector>

#include "core/clock.h"
#include "emulator/device_report.h"
#include "emulator/pty/pty_device.h"
#include "emulator/pty/pty_options.h"
#include "emulator/stop_signals.h"

namespace {

using namespace tovrel;

// A command as text: ESC shown as "ESC", other bytes outside printable ASCII as \xNN.
std::string CommandText(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  for (std::uint8_t byte : bytes) {
    if (byte == 0x1B) {
      text += "ESC";
    } else if (byte >= 0x20 && byte < 0x7F) {
      text += static_cast<char>(byte);
    } else {
      static const char kHex[] = "0123456789ABCDEF";
      text += "\\x";
      text += kHex[byte >> 4];
      text += kHex[byte & 0x0F];
    }
  }
  return text;
}

// Tells what changed since the last look: each command the device received, with the port as
// it came in, and each change the server made to its lines.
class ChangeLog {
 public:
  void Look(const pty::PtyDevice& device) {
    const auto& commands = device.Device().Commands();
    for (; commands_seen_ < commands.size(); ++commands_seen_) {
      std::cout << "command " << CommandText(commands[commands_seen_].bytes) << " at "
                << pty::Describe(device.PortInForce()) << std::endl;
    }
    const std::uint32_t lines = device.HostLines();
    if (lines != lines_) {
      lines_ = lines;
      std::cout << "lines dtr=" << ((lines & TIOCM_DTR) != 0 ? 1 : 0)
                << " rts=" << ((lines & TIOCM_RTS) != 0 ? 1 : 0) << std::endl;
    }
  }

 private:
  std::size_t commands_seen_ = 0;
  std::uint32_t lines_ = pty::kHostLineBits;  // as the shared lines start
};

void Report(const char* what, const pty::FarPortState& port, const pty::PtyDevice& pty_device,
            const pty::PtyOptions& options) {
  const EmulatedDevice& device = pty_device.Device();
  std::cout << what << ": " << pty::Describe(port) << "; " << DescribeDevice(device)
            << "; modem lines read " << pty_device.LineReads() << " times" << std::endl;
  if (options.device.save_image && UpdateStarted(device)) {
    SaveImage(*options.device.save_image, device, pty::kPtyProgramName, std::cout, std::cerr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const pty::PtyParseResult parsed = pty::ParsePtyOptions(arguments);
  if (parsed.outcome == ParseOutcome::kHelp) {
    std::cout << pty::PtyUsageText();
    return kExitOk;
  }
  if (parsed.outcome == ParseOutcome::kError) {
    std::cerr << pty::kPtyProgramName << ": " << parsed.error << "\nTry '" << pty::kPtyProgramName
              << " --help'.\n";
    return kExitUsage;
  }
  const pty::PtyOptions& options = parsed.options;

  const StopSignals stop;

  SystemClock clock;
  pty::PtyDevice device(clock, options.device.config, options.device.faults);
  std::string error;
  if (!device.Open(options.modem_lines, error)) {
    std::cerr << pty::kPtyProgramName << ": " << error << std::endl;
    return kExitUsage;
  }
  std::cout << pty::kPtyProgramName << " on " << device.TerminalPath() << std::endl;

  ChangeLog log;
  std::uint32_t closes = 0;
  bool stopped = false;
  while (!(stopped = StopSignals::Requested())) {
    device.Step(stop.Descriptor());
    log.Look(device);
    if (device.Closes() != closes) {
      closes = device.Closes();
      Report("port closed", device.PortAtLastClose(), device, options);
      if (options.device.once) {
        break;
      }
    }
  }
  if (stopped) {
    Report("stopped", device.Port(), device, options);
  }
  const bool incomplete = options.device.once && !device.Device().ProgrammingComplete();
  return incomplete ? kExitNoCompleteImage : kExitOk;
}
