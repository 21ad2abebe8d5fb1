// The serial backend of the platform the program was built for.
#pragma once

#include <memory>

#include "serial/serial_api.h"

namespace tovrel {

std::unique_ptr<SerialApi> MakeNativeSerialApi();

}  // namespace tovrel
