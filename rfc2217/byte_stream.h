// The connection to the peer as the protocol code sees it: sends and receives that never block,
// and one wait with a limit. In real use it is a TCP socket (SocketStream); tests and fuzz
// targets put a scripted peer in its place, whose waits move a virtual clock instead of
// sleeping.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rfc2217/socket_layer.h"

namespace tovrel::net {

class ByteStream {
 public:
  virtual ~ByteStream() = default;

  // One send of up to `count` bytes; `sent` tells how many were taken.
  virtual IoStatus Send(const std::uint8_t* bytes, std::size_t count, std::size_t& sent,
                        std::uint32_t& error) = 0;
  // One receive of up to `capacity` bytes.
  virtual IoStatus Receive(std::uint8_t* buffer, std::size_t capacity, std::size_t& received,
                           std::uint32_t& error) = 0;
  // Waits up to `timeout_ms` until input can be taken (when `want_read`) or output sent (when
  // `want_write`). A failed or closed connection is reported as readable (see WaitForSocket for
  // the one exception), so that a receive finds it out. Returns early with nothing ready when a
  // signal interrupts the wait; false on failure.
  virtual bool Wait(bool want_read, bool want_write, std::uint32_t timeout_ms, Readiness& ready,
                    std::uint32_t& error) = 0;
  // The system descriptor to wait on together with others (a server's listener, a stop
  // signal); -1 for a stream that has none.
  virtual int Descriptor() const { return -1; }
};

// A connected, non-blocking socket, owned.
class SocketStream final : public ByteStream {
 public:
  explicit SocketStream(Socket socket) : socket_(std::move(socket)) {}

  IoStatus Send(const std::uint8_t* bytes, std::size_t count, std::size_t& sent,
                std::uint32_t& error) override {
    return SendSome(socket_, bytes, count, sent, error);
  }
  IoStatus Receive(std::uint8_t* buffer, std::size_t capacity, std::size_t& received,
                   std::uint32_t& error) override {
    return ReceiveSome(socket_, buffer, capacity, received, error);
  }
  bool Wait(bool want_read, bool want_write, std::uint32_t timeout_ms, Readiness& ready,
            std::uint32_t& error) override {
    return WaitForSocket(socket_, want_read, want_write, timeout_ms, ready, error);
  }
  int Descriptor() const override { return static_cast<int>(socket_.Get()); }

 private:
  Socket socket_;
};

}  // namespace tovrel::net
