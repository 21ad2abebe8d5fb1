// Why a remote port did not open, in words for the person at the keyboard. The numbers are
// errno's on every platform (the socket layer translates Winsock's).
#pragma once

#include <cstdint>
#include <string>

namespace tovrel::rfc2217 {

std::string ConnectionFailureReason(std::uint32_t error_number);

// The C library's text for an errno number.
std::string ErrnoText(std::uint32_t error_number);

}  // namespace tovrel::rfc2217
