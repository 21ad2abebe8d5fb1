// What the far UART has still to send, estimated from what was written and the rate in force.
// The protocol never says when the far UART has sent a byte, so the client keeps this model:
// each byte takes 10 bit times, and the time stands still while the far UART is held (hardware
// flow control with CTS reported off, or our data suspended by the server). A pure model: the
// caller passes the time, so every rule is checked without a clock or a connection.
#pragma once

#include <chrono>
#include <cstdint>

namespace tovrel::rfc2217 {

class FarLineEstimate {
 public:
  using Clock = std::chrono::steady_clock;
  using TimePoint = Clock::time_point;
  using Duration = std::chrono::microseconds;

  // `bytes` more are on their way at `baud_rate` (9600 when 0).
  void Account(std::uint32_t bytes, std::uint32_t baud_rate, TimePoint now);
  // The far UART is held (true) or free to send again (false). A UART stops only between
  // bytes, so a byte under way when the hold begins still goes.
  void SetHeld(bool held, std::uint32_t baud_rate, TimePoint now);
  // The server dropped what it still held: nothing is left to send.
  void Discard(TimePoint now);

  bool Held() const { return held_; }
  bool Idle(TimePoint now) const { return Left(now) == Duration::zero(); }
  // The far line's time still needed, and when it will be idle if nothing holds it.
  Duration Left(TimePoint now) const;
  TimePoint IdleAt() const { return busy_until_; }
  // Bytes still to go at `baud_rate`, rounded up: a byte under way has not left.
  std::uint64_t BytesLeft(std::uint32_t baud_rate, TimePoint now) const;

 private:
  TimePoint busy_until_{};  // while free: when the far line falls idle
  Duration left_{};         // while held: what it still needs
  bool held_ = false;
};

}  // namespace tovrel::rfc2217
