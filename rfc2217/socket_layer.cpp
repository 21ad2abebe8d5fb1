#include "rfc2217/socket_layer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "rfc2217/native_socket.h"

namespace tovrel::net {
namespace {

using SteadyClock = std::chrono::steady_clock;
using native::Descriptor;

// How often a wait for a connection looks at its give-up condition.
constexpr std::uint32_t kGiveUpLookMs = 10;

std::uint32_t MillisecondsUntil(SteadyClock::time_point deadline) {
  const auto now = SteadyClock::now();
  if (now >= deadline) {
    return 0;
  }
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
  return static_cast<std::uint32_t>(std::min<long long>(left, INT_MAX));
}

// One attempt at one resolved address, up to the deadline shared by all attempts.
Socket ConnectOne(const addrinfo& address, SteadyClock::time_point deadline, std::uint32_t& error,
                  const std::function<bool()>& give_up) {
  Socket socket(
      native::Wrap(::socket(address.ai_family, address.ai_socktype, address.ai_protocol)));
  if (!socket.IsOpen()) {
    error = native::LastError();
    return Socket();
  }
  const Descriptor descriptor = native::Of(socket.Get());
  if (!native::SetNonBlocking(descriptor)) {
    error = native::LastError();
    return Socket();
  }
  native::NoSigPipe(descriptor);
  const auto address_length = static_cast<native::AddressLength>(address.ai_addrlen);
  if (::connect(descriptor, address.ai_addr, address_length) == 0) {
    return socket;
  }
  error = native::LastError();
  if (!native::ConnectInProgress(error)) {
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
      error = native::PendingConnectError(descriptor);
      return error == 0 ? std::move(socket) : Socket();
    }
  }
}

}  // namespace

SocketLibrary::SocketLibrary() : error_(native::StartLibrary()) {}

SocketLibrary::~SocketLibrary() {
  if (error_ == 0) {
    native::StopLibrary();
  }
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
    native::Close(native::Of(handle_));
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
    error = resolved != 0 ? native::ResolveError(resolved) : static_cast<std::uint32_t>(ENOENT);
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
  Socket listener(native::Wrap(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
  if (!listener.IsOpen()) {
    error = native::LastError();
    return Socket();
  }
  const Descriptor descriptor = native::Of(listener.Get());
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(descriptor, 4) != 0 || !native::SetNonBlocking(descriptor)) {
    error = native::LastError();
    return Socket();
  }
  native::AddressLength length = sizeof address;
  if (::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    error = native::LastError();
    return Socket();
  }
  port = ntohs(address.sin_port);
  error = 0;
  return listener;
}

Socket AcceptConnection(const Socket& listener, std::uint32_t timeout_ms, std::uint32_t& error) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    Socket accepted(native::Wrap(::accept(native::Of(listener.Get()), nullptr, nullptr)));
    if (accepted.IsOpen()) {
      const Descriptor descriptor = native::Of(accepted.Get());
      if (!native::SetNonBlocking(descriptor)) {
        error = native::LastError();
        return Socket();
      }
      native::NoSigPipe(descriptor);
      SetNoDelay(accepted);
      error = 0;
      return accepted;
    }
    error = native::LastError();
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
  const auto piece = static_cast<native::IoLength>(std::min<std::size_t>(count, INT_MAX));
  const auto result = ::send(native::Of(socket.Get()), reinterpret_cast<const char*>(bytes), piece,
                             native::SendFlags());
  if (result >= 0) {
    sent = static_cast<std::size_t>(result);
    return IoStatus::kDone;
  }
  error = native::LastError();
  if (error == EWOULDBLOCK || error == EAGAIN || error == EINTR) {
    return IoStatus::kWouldBlock;
  }
  return IoStatus::kFailed;
}

IoStatus ReceiveSome(const Socket& socket, std::uint8_t* buffer, std::size_t capacity,
                     std::size_t& received, std::uint32_t& error) {
  received = 0;
  const auto piece = static_cast<native::IoLength>(std::min<std::size_t>(capacity, INT_MAX));
  const auto result = ::recv(native::Of(socket.Get()), reinterpret_cast<char*>(buffer), piece, 0);
  if (result > 0) {
    received = static_cast<std::size_t>(result);
    return IoStatus::kDone;
  }
  if (result == 0) {
    return IoStatus::kClosed;
  }
  error = native::LastError();
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
  return native::Wait(native::Of(socket.Get()), want_read, want_write, timeout_ms, ready, error);
}

void SetNoDelay(const Socket& socket) {
  int on = 1;
  // Best effort: without it the connection still works, only less promptly.
  (void)setsockopt(native::Of(socket.Get()), IPPROTO_TCP, TCP_NODELAY,
                   reinterpret_cast<const char*>(&on), sizeof on);
}

}  // namespace tovrel::net
