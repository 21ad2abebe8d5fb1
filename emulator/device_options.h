// What both doors onto the emulated device (the network server and the pseudo-terminal device)
// take on their command lines: the device's settings and faults, --once and --save-image, and
// the exit statuses the two programs share.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "emulator/device_config.h"

namespace tovrel {

// Exit statuses of the emulator programs.
inline constexpr int kExitOk = 0;
inline constexpr int kExitNoCompleteImage = 1;  // --once, and the device has no whole image
inline constexpr int kExitUsage = 2;            // bad command line, or an unusable address

struct DeviceOptions {
  // Serve one connection, then exit with 0 when the device received a complete image, else 1.
  bool once = false;
  // Where the received image is written at the end of every connection that started one.
  std::optional<std::string> save_image;
  DeviceConfig config;
  DeviceFaults faults;
};

enum class ParseOutcome {
  kRun,    // options accepted
  kHelp,   // --help: print the usage text and exit 0
  kError,  // the error says what is wrong; exit 2
};

// An option of one program's own, which takes a value: false from `apply` refuses the value.
struct ProgramOption {
  const char* name;      // without the leading "--"
  const char* expected;  // what a valid value looks like, for the error message
  std::function<bool(const std::string& value)> apply;
};

// Reads the arguments after the program name into `options`, the program's own options among
// them. Each option is "--name value" or "--name=value"; numbers are plain decimal digits within
// the option's range. `error` is one line without the program's name or a line break.
ParseOutcome ParseDeviceOptions(const std::vector<std::string>& arguments,
                                const std::vector<ProgramOption>& program_options,
                                DeviceOptions& options, std::string& error);

// A piece of the command line as an error message shows it: in quotes, with line breaks and
// other control bytes written as \xNN, so that the message stays one line whatever was typed.
std::string Quoted(const std::string& text);

}  // namespace tovrel
