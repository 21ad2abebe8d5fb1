#include "app/port_platform.h"

#include <cstring>
#include <utility>

#include "emulator/simulated_link.h"
#include "serial/native_serial_api.h"
#include "serial/rfc2217/port_name.h"
#include "serial/rfc2217/rfc2217_serial_api.h"

namespace tovrel {
namespace {

bool StartsWith(const char* text, const char* prefix) {
  return text != nullptr && std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

PortPlatform SelectPortPlatform(const char* port_name, std::uint32_t baud_rate, Clock& clock,
                                Interruption& stop, Trace& trace) {
  PortPlatform platform;
  if (StartsWith(port_name, kEmulatedPortPrefix)) {
    DeviceConfig config;
    config.initial_baud = baud_rate;
    platform.device = std::make_unique<EmulatedDevice>(config);
    // The emulated port takes no options: a name with anything after the prefix is a port that
    // does not exist, not the plain emulated device.
    HostFaults faults;
    faults.open_fails = std::strcmp(port_name, kEmulatedPortPrefix) != 0;
    faults.open_error_number = kSimErrorFileNotFound;
    auto link =
        std::make_unique<SimulatedLink>(clock, *platform.device, EmulatedPortLinkConfig(), faults);
    link->SetInterruption(stop);
    platform.api = std::move(link);
  } else if (rfc2217::IsRfc2217PortName(
                 port_name)) {  // the scheme in any case, as the parser reads it
    rfc2217::ClientOptions options;
    options.interruption = &stop;
    options.trace = &trace;
    platform.api = std::make_unique<Rfc2217SerialApi>(options);
  } else {
    platform.api = MakeNativeSerialApi(stop, trace);
  }
  return platform;
}

}  // namespace tovrel
