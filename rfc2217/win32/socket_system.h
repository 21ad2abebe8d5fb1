// The Winsock 2 headers and types, for rfc2217/native_socket.h.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include "rfc2217/socket_layer.h"

namespace tovrel::net::native {

using Descriptor = SOCKET;
using AddressLength = int;
using IoLength = int;

inline Descriptor Of(SocketHandle handle) {
  return static_cast<Descriptor>(handle);
}
inline SocketHandle Wrap(Descriptor socket) {
  return socket == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(socket);
}

}  // namespace tovrel::net::native
