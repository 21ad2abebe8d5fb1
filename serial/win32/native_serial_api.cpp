#include "serial/native_serial_api.h"
#include "serial/win32/win32_serial_api.h"

namespace tovrel {

std::unique_ptr<SerialApi> MakeNativeSerialApi(Interruption& stop, Trace& /*trace*/) {
  // CreateFile takes the port for exclusive use in one step: the port classes trace it.
  return std::make_unique<Win32SerialApi>(stop);
}

}  // namespace tovrel
