// One flash update from accepted arguments to the exit status: identify the device, announce the
// image, drop the link to 38400 baud for the transfer if needed, stream the image in CTS-paced
// pieces, restore the rate, identify again and report.
#pragma once

#include <cstdint>

#include "app/console.h"
#include "app/firmware_file.h"
#include "app/port_names.h"
#include "app/run_record.h"
#include "app/station_settings.h"
#include "core/clock.h"
#include "serial/interruption.h"
#include "serial/serial_api.h"
#include "serial/trace.h"

namespace tovrel {

// Everything a run touches outside itself.
struct UpdateEnvironment {
  SerialApi& serial;
  Clock& clock;
  Console& console;
  FileSystem& files;
  // Asks the run to stop at its next safe point (Ctrl-C, a termination signal).
  Interruption& interruption = NoInterruption();
  // Standard error: one line with the reason a port did not open, never on the console.
  OutputSink& diagnostics = DiscardedOutput();
  // The wire trace (TOVREL_TRACE), off by default.
  Trace& trace = NoTrace();
  // TOVREL_EXPECT_SHA256 and TOVREL_WAIT as found; neither is set by default.
  StationVariables station = {};
  // The name to open for the port name given (usb: names, COM prefixes); as given by default.
  PortNames& portNames = UnchangedPortNames();
  // Filled in as the run goes, for the report (TOVREL_REPORT); none by default.
  RunRecord* record = nullptr;
};

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;

inline constexpr std::uint32_t kPieceBytes = 128;
inline constexpr std::uint32_t kProgressStepBytes = 1024;
inline constexpr std::uint32_t kPauseAfterInquiryMs = 2000;
inline constexpr std::uint32_t kPauseAfterStartMs = 5000;
inline constexpr std::uint32_t kPauseAfterTransferMs = 7000;

// The share of the image sent, truncated to a whole percent; 100 for an empty image.
int ProgressPercent(std::uint32_t transferred, std::uint32_t file_size);

// Returns the process's exit status: 0 once the update completed, 1 on any failure.
//
// Before anything is opened the station's settings are checked: a malformed one, or a usb:
// name that is not one, is refused with a line on the diagnostics and status 1. With an
// expected fingerprint the image is hashed next, and one that differs is refused as a file
// that does not open, before the port is opened. With a wait, opening the port and getting the
// first identification are tried again, every kWaitRetryMs, until one try gets through or the
// wait is over; the last try's failure is then reported as without a wait. Nothing after the
// first identification is ever tried again.
//
// A stop request ends the run at the next safe point, through the exits of the step it stops:
// pauses, CTS waits and reads end early, a piece being written is written whole, and the
// transfer stops between two pieces. Stopped in the transfer, the run reports the failed
// transfer with the bytes the device got; stopped anywhere else, it says "Update interrupted."
// in place of the step's own message. Either way the port and the file are released as on every
// other exit, and the status is 1.
int RunUpdate(const char* firmware_file, const char* port_name, std::int32_t baud_rate,
              UpdateEnvironment& env);

}  // namespace tovrel
