#include "serial/rfc2217/socket_layer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace tovrel::net {
namespace {

using SteadyClock = std::chrono::steady_clock;

// How often a wait for a connection looks at its give-up condition.
constexpr std::uint32_t kGiveUpLookMs = 10;

#if defined(_WIN32)
using NativeSocket = SOCKET;
using IoLength = int;

NativeSocket Native(SocketHandle handle) {
  return static_cast<NativeSocket>(handle);
}
SocketHandle Wrap(NativeSocket socket) {
  return socket == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(socket);
}

// Winsock's numbers in errno's terms, so that callers see one numbering on every platform.
std::uint32_t LastSocketError() {
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

bool SetNonBlocking(NativeSocket socket) {
  u_long on = 1;
  // FIONBIO is an unsigned constant that Winsock takes as a long.
  return ioctlsocket(socket, static_cast<long>(FIONBIO), &on) == 0;
}

void CloseNative(NativeSocket socket) {
  closesocket(socket);
}

bool ConnectInProgress(std::uint32_t error) {
  return error == EWOULDBLOCK || error == EINPROGRESS;
}

#else
using NativeSocket = int;
using IoLength = std::size_t;

NativeSocket Native(SocketHandle handle) {
  return static_cast<NativeSocket>(handle);
}
SocketHandle Wrap(NativeSocket socket) {
  return socket < 0 ? kNoSocket : socket;
}

std::uint32_t LastSocketError() {
  return static_cast<std::uint32_t>(errno);
}

bool SetNonBlocking(NativeSocket socket) {
  const int flags = fcntl(socket, F_GETFL, 0);
  return flags >= 0 && fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

void CloseNative(NativeSocket socket) {
  close(socket);
}

bool ConnectInProgress(std::uint32_t error) {
  return error == EINPROGRESS || error == EINTR;
}
#endif

// Lets a closed connection surface as an error number instead of a signal that ends the process.
void NoSigPipe([[maybe_unused]] NativeSocket socket) {
#if defined(SO_NOSIGPIPE)
  int on = 1;
  setsockopt(socket, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
}

#if !defined(_WIN32)
// The peer's close, seen even while input is not looked for (Linux); elsewhere only a hang-up of
// both directions is.
constexpr short kPollHangUp =
#if defined(POLLRDHUP)
    POLLRDHUP;
#else
    0;
#endif
#endif

constexpr int kSendFlags =
#if defined(MSG_NOSIGNAL)
    MSG_NOSIGNAL;
#else
    0;
#endif

std::uint32_t MillisecondsUntil(SteadyClock::time_point deadline) {
  const auto now = SteadyClock::now();
  if (now >= deadline) {
    return 0;
  }
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
  return static_cast<std::uint32_t>(std::min<long long>(left, INT_MAX));
}

// The outcome of a connection started without blocking.
std::uint32_t PendingConnectError(NativeSocket socket) {
  int code = 0;
#if defined(_WIN32)
  int length = sizeof code;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&code), &length) != 0) {
    return LastSocketError();
  }
  if (code == 0) {
    return 0;
  }
  WSASetLastError(code);
  return LastSocketError();
#else
  socklen_t length = sizeof code;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &code, &length) != 0) {
    return LastSocketError();
  }
  return static_cast<std::uint32_t>(code);
#endif
}

// One attempt at one resolved address, up to the deadline shared by all attempts.
Socket ConnectOne(const addrinfo& address, SteadyClock::time_point deadline, std::uint32_t& error,
                  const std::function<bool()>& give_up) {
  Socket socket(Wrap(::socket(address.ai_family, address.ai_socktype, address.ai_protocol)));
  if (!socket.IsOpen()) {
    error = LastSocketError();
    return Socket();
  }
  const NativeSocket native = Native(socket.Get());
  if (!SetNonBlocking(native)) {
    error = LastSocketError();
    return Socket();
  }
  NoSigPipe(native);
#if defined(_WIN32)
  const int address_length = static_cast<int>(address.ai_addrlen);
#else
  const socklen_t address_length = address.ai_addrlen;
#endif
  if (::connect(native, address.ai_addr, address_length) == 0) {
    return socket;
  }
  error = LastSocketError();
  if (!ConnectInProgress(error)) {
    return Socket();
  }
  for (;;) {
    std::uint32_t left = MillisecondsUntil(deadline);
    if (left == 0) {
      error = ETIMEDOUT;
      return Socket();
    }
    if (give_up) {
      if (give_up()) {
        error = EINTR;
        return Socket();
      }
      left = std::min(left, kGiveUpLookMs);
    }
    Readiness ready;
    if (!WaitForSocket(socket, true, left, ready, error)) {
      return Socket();
    }
    if (ready.writable || ready.readable) {
      error = PendingConnectError(native);
      return error == 0 ? std::move(socket) : Socket();
    }
  }
}

}  // namespace

SocketLibrary::SocketLibrary() {
#if defined(_WIN32)
  WSADATA data;
  const int result = WSAStartup(MAKEWORD(2, 2), &data);
  error_ = static_cast<std::uint32_t>(result);
#endif
}

SocketLibrary::~SocketLibrary() {
#if defined(_WIN32)
  if (error_ == 0) {
    WSACleanup();
  }
#endif
}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kNoSocket;
  }
  return *this;
}

void Socket::Close() {
  if (handle_ != kNoSocket) {
    CloseNative(Native(handle_));
    handle_ = kNoSocket;
  }
}

Socket ConnectTcp(const std::string& host, std::uint16_t port, std::uint32_t timeout_ms,
                  std::uint32_t& error, const std::function<bool()>& give_up) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int resolved = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (resolved != 0 || found == nullptr) {
#if !defined(_WIN32)
    if (resolved == EAI_SYSTEM) {
      error = LastSocketError();
      return Socket();
    }
#endif
    error = ENOENT;
    return Socket();
  }
  error = ETIMEDOUT;
  Socket connected;
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    connected = ConnectOne(*address, deadline, error, give_up);
    if (connected.IsOpen() || error == ETIMEDOUT || error == EINTR) {
      break;
    }
  }
  freeaddrinfo(found);
  if (connected.IsOpen()) {
    SetNoDelay(connected);
    error = 0;
  }
  return connected;
}

Socket ListenOnLoopback(std::uint16_t& port, std::uint32_t& error) {
  Socket listener(Wrap(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
  if (!listener.IsOpen()) {
    error = LastSocketError();
    return Socket();
  }
  const NativeSocket native = Native(listener.Get());
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (::bind(native, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(native, 4) != 0 || !SetNonBlocking(native)) {
    error = LastSocketError();
    return Socket();
  }
#if defined(_WIN32)
  int length = sizeof address;
#else
  socklen_t length = sizeof address;
#endif
  if (::getsockname(native, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    error = LastSocketError();
    return Socket();
  }
  port = ntohs(address.sin_port);
  error = 0;
  return listener;
}

Socket AcceptConnection(const Socket& listener, std::uint32_t timeout_ms, std::uint32_t& error) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    Socket accepted(Wrap(::accept(Native(listener.Get()), nullptr, nullptr)));
    if (accepted.IsOpen()) {
      const NativeSocket native = Native(accepted.Get());
      if (!SetNonBlocking(native)) {
        error = LastSocketError();
        return Socket();
      }
      NoSigPipe(native);
      SetNoDelay(accepted);
      error = 0;
      return accepted;
    }
    error = LastSocketError();
    if (error != EWOULDBLOCK && error != EAGAIN && error != EINTR) {
      return Socket();
    }
    const std::uint32_t left = MillisecondsUntil(deadline);
    if (left == 0) {
      error = ETIMEDOUT;
      return Socket();
    }
    Readiness ready;
    if (!WaitForSocket(listener, false, left, ready, error)) {
      return Socket();
    }
  }
}

IoStatus SendSome(const Socket& socket, const std::uint8_t* bytes, std::size_t count,
                  std::size_t& sent, std::uint32_t& error) {
  sent = 0;
  const auto piece = static_cast<IoLength>(std::min<std::size_t>(count, INT_MAX));
  const auto result =
      ::send(Native(socket.Get()), reinterpret_cast<const char*>(bytes), piece, kSendFlags);
  if (result >= 0) {
    sent = static_cast<std::size_t>(result);
    return IoStatus::kDone;
  }
  error = LastSocketError();
  if (error == EWOULDBLOCK || error == EAGAIN || error == EINTR) {
    return IoStatus::kWouldBlock;
  }
  return IoStatus::kFailed;
}

IoStatus ReceiveSome(const Socket& socket, std::uint8_t* buffer, std::size_t capacity,
                     std::size_t& received, std::uint32_t& error) {
  received = 0;
  const auto piece = static_cast<IoLength>(std::min<std::size_t>(capacity, INT_MAX));
  const auto result = ::recv(Native(socket.Get()), reinterpret_cast<char*>(buffer), piece, 0);
  if (result > 0) {
    received = static_cast<std::size_t>(result);
    return IoStatus::kDone;
  }
  if (result == 0) {
    return IoStatus::kClosed;
  }
  error = LastSocketError();
  if (error == EWOULDBLOCK || error == EAGAIN || error == EINTR) {
    return IoStatus::kWouldBlock;
  }
  return IoStatus::kFailed;
}

bool WaitForSocket(const Socket& socket, bool want_write, std::uint32_t timeout_ms,
                   Readiness& ready, std::uint32_t& error) {
  return WaitForSocket(socket, true, want_write, timeout_ms, ready, error);
}

bool WaitForSocket(const Socket& socket, bool want_read, bool want_write, std::uint32_t timeout_ms,
                   Readiness& ready, std::uint32_t& error) {
  ready = Readiness();
  const NativeSocket native = Native(socket.Get());
#if defined(_WIN32)
  // select rather than WSAPoll: older WSAPoll does not report a failed connection.
  fd_set readable;
  fd_set writable;
  fd_set failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  if (want_read) {
    FD_SET(native, &readable);
  }
  FD_SET(native, &failed);
  if (want_write) {
    FD_SET(native, &writable);
  }
  timeval limit;
  limit.tv_sec = static_cast<long>(timeout_ms / 1000u);
  limit.tv_usec = static_cast<long>((timeout_ms % 1000u) * 1000u);
  const int result = ::select(0, want_read ? &readable : nullptr, want_write ? &writable : nullptr,
                              &failed, &limit);
  if (result == SOCKET_ERROR) {
    error = LastSocketError();
    return error == EINTR;
  }
  const bool broken = FD_ISSET(native, &failed) != 0;
  ready.readable = (want_read && FD_ISSET(native, &readable) != 0) || broken;
  ready.writable = (want_write && FD_ISSET(native, &writable) != 0) || broken;
  return true;
#else
  pollfd entry;
  entry.fd = native;
  entry.events =
      static_cast<short>((want_read ? POLLIN : 0) | (want_write ? POLLOUT : 0) | kPollHangUp);
  entry.revents = 0;
  const int limit = static_cast<int>(std::min<std::uint32_t>(timeout_ms, INT_MAX));
  const int result = ::poll(&entry, 1, limit);
  if (result < 0) {
    error = LastSocketError();
    return error == EINTR;
  }
  const bool broken = (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
  ready.readable = (entry.revents & POLLIN) != 0 || broken;
  ready.writable = (entry.revents & POLLOUT) != 0 || broken;
  ready.hung_up = (entry.revents & (kPollHangUp | POLLHUP)) != 0;
  return true;
#endif
}

void SetNoDelay(const Socket& socket) {
  int on = 1;
  setsockopt(Native(socket.Get()), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
             sizeof on);
}

void ShutdownSending(const Socket& socket) {
#if defined(_WIN32)
  ::shutdown(Native(socket.Get()), SD_SEND);
#else
  ::shutdown(Native(socket.Get()), SHUT_WR);
#endif
}

}  // namespace tovrel::net
