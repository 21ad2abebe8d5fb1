// The POSIX socket headers and types, for rfc2217/native_socket.h.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

#include "rfc2217/socket_layer.h"

namespace tovrel::net::native {

using Descriptor = int;
using AddressLength = socklen_t;
using IoLength = std::size_t;

inline Descriptor Of(SocketHandle handle) {
  return static_cast<Descriptor>(handle);
}
inline SocketHandle Wrap(Descriptor socket) {
  return socket < 0 ? kNoSocket : socket;
}

}  // namespace tovrel::net::native
