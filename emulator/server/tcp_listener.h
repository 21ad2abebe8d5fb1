// The server's own end of TCP: listening on a chosen address and port, and naming the peer of an
// accepted connection. Accepting itself, and all I/O, use the shared socket layer.
#pragma once

#include <cstdint>
#include <string>

#include "rfc2217/socket_layer.h"

namespace tovrel::server {

// Listens on `host` (a numeric address or a name; the first address it resolves to that can be
// bound) and `port`, 0 meaning a port the system picks. On success `bound_port` is the port in
// use. On failure the socket is not open and `error` is an errno number (EADDRINUSE,
// EADDRNOTAVAIL, EACCES, or ENOENT for a name that does not resolve). The socket is
// non-blocking, as net::AcceptConnection expects.
net::Socket ListenTcp(const std::string& host, std::uint16_t port, std::uint16_t& bound_port,
                      std::uint32_t& error);

// "address:port" of the other end ("[address]:port" for IPv6), or "unknown".
std::string PeerName(const net::Socket& connection);

// "host:port" as a listening address is usually written, with brackets for IPv6 hosts.
std::string JoinHostPort(const std::string& host, std::uint16_t port);

}  // namespace tovrel::server
