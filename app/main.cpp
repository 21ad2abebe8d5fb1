// tovrel <flashfile> <port> [baudrate]: writes a firmware image into the flash of a
// transporter/printer on a serial port.
#include <chrono>
#include <cstdint>
#include <cstdlib>

#include "app/command_line.h"
#include "app/console.h"
#include "app/firmware_file.h"
#include "app/host_name.h"
#include "app/interrupt_signals.h"
#include "app/port_names.h"
#include "app/port_platform.h"
#include "app/report_file.h"
#include "app/run_record.h"
#include "app/station_settings.h"
#include "app/update_sequence.h"
#include "app/wire_trace.h"
#include "core/clock.h"

int main(int argc, char** argv) {
  tovrel::StandardOutputSink standard_output;
  // Flushed when it goes out of scope, after the exit status is known.
  tovrel::Console console(standard_output, tovrel::StandardOutputIsTerminal());

  tovrel::UpdateArguments arguments;
  if (!tovrel::CheckArguments(argc, argv, console, arguments)) {
    return tovrel::kExitFailure;
  }

  // From here on Ctrl-C or a termination signal stops the run in order. Declared before the
  // platform, whose waits look at it, so that it outlives the platform.
  tovrel::InterruptSignals interruption;
  tovrel::SystemClock clock;
  tovrel::StandardErrorSink standard_error;
  // Opened first, so that every exit from here on leaves its record.
  tovrel::ReportFile report(std::getenv(tovrel::kReportVariable), standard_error);
  tovrel::RunRecord record;
  record.host = tovrel::HostName();
  record.startUnixMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
  tovrel::WireTrace trace(std::getenv(tovrel::kTraceVariable), clock, standard_error);
  tovrel::PortPlatform platform =
      tovrel::SelectPortPlatform(arguments.portName, static_cast<std::uint32_t>(arguments.baudRate),
                                 clock, interruption, trace.Get());
  const auto files = tovrel::MakeNativeFileSystem();
  const auto port_names = tovrel::MakeSystemPortNames();
  tovrel::UpdateEnvironment environment{
      *platform.api, clock,          console,     *files,
      interruption,  standard_error, trace.Get(), tovrel::StationVariables::FromEnvironment(),
      *port_names,   &record};
  const int status = tovrel::RunUpdate(arguments.firmwareFile, arguments.portName,
                                       arguments.baudRate, environment);
  // A run the request stopped ends as the platform's interrupted programs do.
  record.exitStatus = status != tovrel::kExitSuccess && interruption.Requested()
                          ? interruption.ExitStatus()
                          : status;
  report.Append(tovrel::FormatRunRecord(record));
  return record.exitStatus;
}
