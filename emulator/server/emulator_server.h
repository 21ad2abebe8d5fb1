// The tovrel-emulator program's work: listen, serve one client at a time with a device at
// power-on, log each connection, keep the received image, and stop when asked.
#pragma once

#include <functional>
#include <iosfwd>

#include "core/clock.h"
#include "emulator/server/server_options.h"

namespace tovrel::server {

// Runs until `stop_requested` returns true, or after one connection with options.once. The
// banner, one line when a client comes and one when it goes go to `out`; errors go to `err`.
// Returns the exit status.
//
// The server sleeps until the client, a new connection or the emulated line needs it (the
// clock must be the system's). `stop_requested` is asked after each wake-up; `stop_descriptor`,
// when not -1, becomes readable once a stop is asked for (a signalfd, say) and ends any wait at
// once. Without it, waits last at most 100 ms so that a stop is still seen soon.
int RunEmulatorServer(const ServerOptions& options, Clock& clock, std::ostream& out,
                      std::ostream& err, const std::function<bool()>& stop_requested,
                      int stop_descriptor = -1);

}  // namespace tovrel::server
