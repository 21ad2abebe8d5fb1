// What the emulator programs say about the device at the end of a connection, and the image they
// keep.
#pragma once

#include <iosfwd>
#include <string>

#include "emulator/emulated_device.h"

namespace tovrel {

// True when an update was started, so that there is an image to keep.
bool UpdateStarted(const EmulatedDevice& device);

// "5 commands, image 2048 of 2048 bytes, complete", or "3 commands, no image".
std::string DescribeDevice(const EmulatedDevice& device);

// Writes the image the device received to `path` and says so on `out`; a failure goes to `err`,
// after `program`'s name.
void SaveImage(const std::string& path, const EmulatedDevice& device, const char* program,
               std::ostream& out, std::ostream& err);

}  // namespace tovrel
