// The command line of tovrel-emulator: where to listen, how many connections to serve, where to
// keep the received image, and the emulated device's settings and faults.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emulator/device_config.h"

namespace tovrel::server {

inline constexpr char kProgramName[] = "tovrel-emulator";
inline constexpr char kDefaultListenHost[] = "127.0.0.1";
inline constexpr std::uint16_t kDefaultListenPort = 2217;

struct ServerOptions {
  // Address to listen on; port 0 lets the system choose one (the banner tells which).
  std::string host = kDefaultListenHost;
  std::uint16_t port = kDefaultListenPort;
  // Serve one connection, then exit with 0 when the device received a complete image, else 1.
  bool once = false;
  // Where the received image is written at the end of every connection that started one.
  std::optional<std::string> save_image;
  DeviceConfig config;
  DeviceFaults faults;
};

enum class ParseOutcome {
  kRun,    // options accepted
  kHelp,   // --help: print UsageText() and exit 0
  kError,  // `error` says what is wrong; exit 2
};

struct ParseResult {
  ParseOutcome outcome = ParseOutcome::kRun;
  ServerOptions options;
  std::string error;  // one line, without the program name or a line break
};

// Reads the arguments after the program name. Each option is "--name value" or "--name=value";
// numbers are plain decimal digits within the option's range.
ParseResult ParseServerOptions(const std::vector<std::string>& arguments);

// The text --help prints, ending with a line break.
std::string UsageText();

// "HOST:PORT", or "[IPv6]:PORT"; false when it is not of that form.
bool ParseListenAddress(const std::string& text, std::string& host, std::uint16_t& port);

}  // namespace tovrel::server
