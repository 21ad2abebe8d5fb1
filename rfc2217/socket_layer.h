// A small TCP layer over POSIX sockets and Winsock 2, enough for a client and a loopback test
// server. Every socket it hands out is non-blocking; every wait takes a limit. Errors are
// reported as errno numbers on every platform (Winsock's WSAE* codes are translated), so callers
// see the same numbers everywhere. Sending never raises SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tovrel::net {

// A socket as the system sees it (a file descriptor, or a Winsock SOCKET).
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kNoSocket = -1;

// Keeps the system's socket library loaded while it lives: WSAStartup and WSACleanup on Windows
// (which count their calls, so several objects may coexist), nothing elsewhere.
class SocketLibrary {
 public:
  SocketLibrary();
  ~SocketLibrary();
  SocketLibrary(const SocketLibrary&) = delete;
  SocketLibrary& operator=(const SocketLibrary&) = delete;

  bool Ready() const { return error_ == 0; }
  std::uint32_t Error() const { return error_; }

 private:
  std::uint32_t error_ = 0;
};

// An owned socket, closed when the object goes.
class Socket {
 public:
  Socket() = default;
  explicit Socket(SocketHandle handle) : handle_(handle) {}
  ~Socket() { Close(); }
  Socket(Socket&& other) noexcept : handle_(other.handle_) { other.handle_ = kNoSocket; }
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool IsOpen() const { return handle_ != kNoSocket; }
  SocketHandle Get() const { return handle_; }
  void Close();

 private:
  SocketHandle handle_ = kNoSocket;
};

// Connects to `host` (a name or an address) and `port` within `timeout_ms` in all, trying each
// address the name resolves to in turn. Name resolution itself is left to the system's
// resolver and its own time-outs. On failure the socket is not open and `error` says why:
// ENOENT for a name that does not resolve, ETIMEDOUT when the limit ran out, else the
// connection's own error (ECONNREFUSED, EHOSTUNREACH...). When `give_up` is given, the wait
// for the connection looks at it every few milliseconds and ends with EINTR once it holds.
Socket ConnectTcp(const std::string& host, std::uint16_t port, std::uint32_t timeout_ms,
                  std::uint32_t& error, const std::function<bool()>& give_up = nullptr);

// A listening socket on 127.0.0.1 at a port the system picks, returned in `port`.
Socket ListenOnLoopback(std::uint16_t& port, std::uint32_t& error);
// Takes the next connection within `timeout_ms`; ETIMEDOUT when none came.
Socket AcceptConnection(const Socket& listener, std::uint32_t timeout_ms, std::uint32_t& error);

enum class IoStatus {
  kDone,        // some bytes moved
  kWouldBlock,  // nothing can move now
  kClosed,      // the peer closed the connection (receive only)
  kFailed,      // see the error number
};

// One non-blocking send of up to `count` bytes; `sent` tells how many the system took.
IoStatus SendSome(const Socket& socket, const std::uint8_t* bytes, std::size_t count,
                  std::size_t& sent, std::uint32_t& error);
// One non-blocking receive of up to `capacity` bytes.
IoStatus ReceiveSome(const Socket& socket, std::uint8_t* buffer, std::size_t capacity,
                     std::size_t& received, std::uint32_t& error);

struct Readiness {
  bool readable = false;  // also set for a closed or failed connection, which a receive reports
  bool writable = false;
  // The peer has closed its end, even where input is not looked for and some may still wait to
  // be read (not reported on Windows).
  bool hung_up = false;
};

// Waits up to `timeout_ms` until the socket can be read (or written, when `want_write`).
// Returns early without anything ready when a signal interrupts the wait; false on failure.
bool WaitForSocket(const Socket& socket, bool want_write, std::uint32_t timeout_ms,
                   Readiness& ready, std::uint32_t& error);
// The same, looking for input only when `want_read`. A failed connection is reported as readable
// whether or not input is wanted, and so is a closed one except on Windows, which tells a close
// only to a reader.
bool WaitForSocket(const Socket& socket, bool want_read, bool want_write, std::uint32_t timeout_ms,
                   Readiness& ready, std::uint32_t& error);

// Sends each small write at once instead of waiting to fill a segment (TCP_NODELAY).
void SetNoDelay(const Socket& socket);

}  // namespace tovrel::net
