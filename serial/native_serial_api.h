// The serial backend of the platform the program was built for.
#pragma once

#include <memory>

#include "serial/interruption.h"
#include "serial/serial_api.h"
#include "serial/trace.h"

namespace tovrel {

// Reads that wait for the device give up once `stop` is requested. The steps of taking a port
// for exclusive use go to `trace`, which must outlive the backend.
std::unique_ptr<SerialApi> MakeNativeSerialApi(Interruption& stop = NoInterruption(),
                                               Trace& trace = NoTrace());

}  // namespace tovrel
