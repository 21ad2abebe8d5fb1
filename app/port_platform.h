// Picks the platform under the port from the port's name: "sim://" is the built-in emulated
// device (any other name that starts so is a port that does not open), "rfc2217://host:port" a
// port on a network serial server, anything else a local port name handed to the operating
// system unchanged.
#pragma once

#include <cstdint>
#include <memory>

#include "core/clock.h"
#include "emulator/emulated_device.h"
#include "serial/interruption.h"
#include "serial/serial_api.h"
#include "serial/trace.h"

namespace tovrel {

inline constexpr char kEmulatedPortPrefix[] = "sim://";

struct PortPlatform {
  // Only for "sim://": the device at the far end of the simulated line. Declared first so that
  // it outlives the line that refers to it.
  std::unique_ptr<EmulatedDevice> device;
  std::unique_ptr<SerialApi> api;
};

// `baud_rate` is the rate the run starts at; the emulated device listens at it from the start.
// The platform's waits for the device end early once `stop` is requested; `stop` must outlive
// the platform. A remote port's connection and negotiation are written to `trace`, which must
// outlive the platform too.
PortPlatform SelectPortPlatform(const char* port_name, std::uint32_t baud_rate, Clock& clock,
                                Interruption& stop = NoInterruption(), Trace& trace = NoTrace());

}  // namespace tovrel
