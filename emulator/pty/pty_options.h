// The command line of tovrel-pty-device: where the shared modem lines go, and the same device,
// image and --once options as tovrel-emulator.
#pragma once

#include <string>
#include <vector>

#include "emulator/device_options.h"

namespace tovrel::pty {

inline constexpr char kPtyProgramName[] = "tovrel-pty-device";

struct PtyOptions {
  std::string modem_lines;  // required
  DeviceOptions device;
};

struct PtyParseResult {
  ParseOutcome outcome = ParseOutcome::kRun;
  PtyOptions options;
  std::string error;
};

PtyParseResult ParsePtyOptions(const std::vector<std::string>& arguments);

std::string PtyUsageText();

}  // namespace tovrel::pty
