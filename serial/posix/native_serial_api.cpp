#include "serial/native_serial_api.h"
#include "serial/posix/posix_serial_api.h"

namespace tovrel {

std::unique_ptr<SerialApi> MakeNativeSerialApi(Interruption& stop, Trace& trace) {
  PosixSerialOptions options;
  options.interruption = &stop;
  options.trace = &trace;
  return std::make_unique<PosixSerialApi>(options);
}

}  // namespace tovrel
