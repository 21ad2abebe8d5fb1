#include "serial/native_serial_api.h"
#include "serial/posix/posix_serial_api.h"

namespace tovrel {

std::unique_ptr<SerialApi> MakeNativeSerialApi() {
  return std::make_unique<PosixSerialApi>();
}

}  // namespace tovrel
