// The system's sockets as the socket layer uses them, so that the layer is written once: the
// types and headers come from socket_system.h of the platform being built for (posix/ or
// win32/, chosen by CMake), the calls from native_socket.cpp in that folder.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rfc2217/socket_layer.h"
#include "socket_system.h"

namespace tovrel::net::native {

// The error number of the call that just failed, in errno's terms on every platform (Winsock's
// WSAE* numbers translated).
std::uint32_t LastError();
bool SetNonBlocking(Descriptor socket);
void Close(Descriptor socket);
// A non-blocking connect that has begun and will finish later.
bool ConnectInProgress(std::uint32_t error);
// A closed connection then surfaces as an error number instead of a signal that ends the process.
void NoSigPipe(Descriptor socket);
// The flags every send is made with.
int SendFlags();
// The outcome of a connection started without blocking.
std::uint32_t PendingConnectError(Descriptor socket);
// The error number for a getaddrinfo result that is not 0.
std::uint32_t ResolveError(int result);
bool Wait(Descriptor socket, bool want_read, bool want_write, std::uint32_t timeout_ms,
          Readiness& ready, std::uint32_t& error);
// Loads the system's socket library (WSAStartup, which counts its calls; nothing on POSIX): 0 or
// an error number.
std::uint32_t StartLibrary();
void StopLibrary();

}  // namespace tovrel::net::native
