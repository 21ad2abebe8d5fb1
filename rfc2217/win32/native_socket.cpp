#include "rfc2217/native_socket.h"

#include <cerrno>

namespace tovrel::net::native {

std::uint32_t LastError() {
  const int code = WSAGetLastError();
  switch (code) {
    case WSAEWOULDBLOCK:
      return EWOULDBLOCK;
    case WSAEINPROGRESS:
      return EINPROGRESS;
    case WSAEINTR:
      return EINTR;
    case WSAECONNRESET:
      return ECONNRESET;
    case WSAECONNABORTED:
      return ECONNABORTED;
    case WSAECONNREFUSED:
      return ECONNREFUSED;
    case WSAETIMEDOUT:
      return ETIMEDOUT;
    case WSAEHOSTUNREACH:
      return EHOSTUNREACH;
    case WSAENETUNREACH:
      return ENETUNREACH;
    case WSAENETDOWN:
      return ENETDOWN;
    case WSAENOTCONN:
      return ENOTCONN;
    case WSAESHUTDOWN:
      return EPIPE;
    case WSAEADDRNOTAVAIL:
      return EADDRNOTAVAIL;
    case WSAEINVAL:
      return EINVAL;
    case WSAENOBUFS:
      return ENOBUFS;
    default:
      return static_cast<std::uint32_t>(code);
  }
}

bool SetNonBlocking(Descriptor socket) {
  u_long on = 1;
  // FIONBIO is an unsigned constant that Winsock takes as a long.
  return ioctlsocket(socket, static_cast<long>(FIONBIO), &on) == 0;
}

void Close(Descriptor socket) {
  (void)closesocket(socket);  // nothing to be done about a failed close
}

bool ConnectInProgress(std::uint32_t error) {
  return error == EWOULDBLOCK || error == EINPROGRESS;
}

void NoSigPipe(Descriptor) {}  // Winsock raises no signals

int SendFlags() {
  return 0;
}

std::uint32_t PendingConnectError(Descriptor socket) {
  int code = 0;
  int length = sizeof code;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&code), &length) != 0) {
    return LastError();
  }
  if (code == 0) {
    return 0;
  }
  WSASetLastError(code);
  return LastError();
}

std::uint32_t ResolveError(int) {
  return ENOENT;
}

bool Wait(Descriptor socket, bool want_read, bool want_write, std::uint32_t timeout_ms,
          Readiness& ready, std::uint32_t& error) {
  // select rather than WSAPoll: older WSAPoll does not report a failed connection.
  fd_set readable;
  fd_set writable;
  fd_set failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  if (want_read) {
    FD_SET(socket, &readable);
  }
  FD_SET(socket, &failed);
  if (want_write) {
    FD_SET(socket, &writable);
  }
  timeval limit;
  limit.tv_sec = static_cast<long>(timeout_ms / 1000u);
  limit.tv_usec = static_cast<long>((timeout_ms % 1000u) * 1000u);
  const int result = ::select(0, want_read ? &readable : nullptr, want_write ? &writable : nullptr,
                              &failed, &limit);
  if (result == SOCKET_ERROR) {
    error = LastError();
    return error == EINTR;
  }
  const bool broken = FD_ISSET(socket, &failed) != 0;
  ready.readable = (want_read && FD_ISSET(socket, &readable) != 0) || broken;
  ready.writable = (want_write && FD_ISSET(socket, &writable) != 0) || broken;
  return true;
}

std::uint32_t StartLibrary() {
  WSADATA data;
  return static_cast<std::uint32_t>(WSAStartup(MAKEWORD(2, 2), &data));
}

void StopLibrary() {
  (void)WSACleanup();  // the process is done with sockets either way
}

}  // namespace tovrel::net::native
