// Why a port did not open, for backends numbered as the Win32 API numbers its errors (the Win32
// backend itself, and the emulated device's link). Built on every platform: only numbers here.
#pragma once

#include <cstdint>
#include <string>

namespace tovrel {

// The reason for an open that failed with Win32 error `error_number`; `system_text` is the
// system's own text for the number, used for numbers without a more helpful reading.
std::string Win32OpenFailureReason(std::uint32_t error_number, const std::string& system_text);

}  // namespace tovrel
