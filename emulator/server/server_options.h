// The command line of tovrel-emulator: where to listen, how many connections to serve, where to
// keep the received image, and the emulated device's settings and faults.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/device_options.h"

namespace tovrel::server {

inline constexpr char kProgramName[] = "tovrel-emulator";
inline constexpr char kDefaultListenHost[] = "127.0.0.1";
inline constexpr std::uint16_t kDefaultListenPort = 2217;

// The device's options and where to listen.
struct ServerOptions : DeviceOptions {
  // Address to listen on; port 0 lets the system choose one (the banner tells which).
  std::string host = kDefaultListenHost;
  std::uint16_t port = kDefaultListenPort;
};

struct ParseResult {
  ParseOutcome outcome = ParseOutcome::kRun;
  ServerOptions options;
  std::string error;  // one line, without the program name or a line break
};

// Reads the arguments after the program name: --listen and the device's options.
ParseResult ParseServerOptions(const std::vector<std::string>& arguments);

// The text --help prints, ending with a line break.
std::string UsageText();

// "HOST:PORT", or "[IPv6]:PORT"; false when it is not of that form.
bool ParseListenAddress(const std::string& text, std::string& host, std::uint16_t& port);

}  // namespace tovrel::server
