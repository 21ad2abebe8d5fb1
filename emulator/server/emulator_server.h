// The tovrel-emulator program's work: listen, serve one client at a time with a device at
// power-on, log each connection, keep the received image, and stop when asked.
#pragma once

#include <functional>
#include <iosfwd>

#include "emulator/server/server_options.h"
#include "serial/clock.h"

namespace tovrel::server {

// Exit statuses of the program.
inline constexpr int kExitOk = 0;
inline constexpr int kExitNoCompleteImage = 1;  // --once, and the device has no whole image
inline constexpr int kExitUsage = 2;            // bad command line, or the address is unusable

// Runs until `stop_requested` returns true (it is asked between steps, every millisecond or
// so), or after one connection with options.once. The banner, one line when a client comes and
// one when it goes go to `out`; errors go to `err`. Returns the exit status.
int RunEmulatorServer(const ServerOptions& options, Clock& clock, std::ostream& out,
                      std::ostream& err, const std::function<bool()>& stop_requested);

}  // namespace tovrel::server
