// The serial backend of the platform the program was built for.
#pragma once

#include <memory>

#include "serial/interruption.h"
#include "serial/serial_api.h"

namespace tovrel {

// Reads that wait for the device give up once `stop` is requested.
std::unique_ptr<SerialApi> MakeNativeSerialApi(Interruption& stop = NoInterruption());

}  // namespace tovrel
