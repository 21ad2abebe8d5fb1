// What the far UART has still to send, estimated from what was written and the rate in force.
// The protocol never says when the far UART has sent a byte, so the client keeps this model:
// each byte takes 10 bit times, and the time stands still while the far UART is held (hardware
// flow control with CTS reported off, or our data suspended by the server). A pure model: the
// caller passes the time (microseconds of a monotonic clock), so every rule is checked without
// a clock or a connection.
#pragma once

#include <cstdint>

namespace tovrel::rfc2217 {

class FarLineEstimate {
 public:
  using Micros = std::uint64_t;

  // `bytes` more are on their way at `baud_rate` (9600 when 0).
  void Account(std::uint32_t bytes, std::uint32_t baud_rate, Micros now);
  // The far UART is held (true) or free to send again (false). A UART stops only between
  // bytes, so a byte under way when the hold begins still goes.
  void SetHeld(bool held, std::uint32_t baud_rate, Micros now);
  // The server dropped what it still held: nothing is left to send.
  void Discard(Micros now);

  bool Held() const { return held_; }
  bool Idle(Micros now) const { return Left(now) == 0; }
  // The far line's time still needed, and when it will be idle if nothing holds it.
  Micros Left(Micros now) const;
  Micros IdleAt() const { return busy_until_; }
  // Bytes still to go at `baud_rate`, rounded up: a byte under way has not left.
  std::uint64_t BytesLeft(std::uint32_t baud_rate, Micros now) const;

 private:
  Micros busy_until_ = 0;  // while free: when the far line falls idle
  Micros left_ = 0;        // while held: what it still needs
  bool held_ = false;
};

}  // namespace tovrel::rfc2217
