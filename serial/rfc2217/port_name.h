// Port names of remote serial ports: "rfc2217://host:port".
#pragma once

#include <cstdint>
#include <string>

namespace tovrel::rfc2217 {

struct RemotePortAddress {
  std::string host;  // a name, an IPv4 address, or an IPv6 address without its brackets
  std::uint16_t port = 0;
};

// True when `name` starts with the scheme "rfc2217://" (in any letter case).
bool IsRfc2217PortName(const char* name);

// Splits "rfc2217://host:port" (IPv6 as "rfc2217://[::1]:2217"). False for anything else: a
// missing or empty host, a port that is not a decimal number from 1 to 65535, or anything after
// the port (paths and "?options" are not accepted).
bool ParseRfc2217PortName(const char* name, RemotePortAddress& address);

}  // namespace tovrel::rfc2217
