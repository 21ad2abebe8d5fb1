// The far end of a connection, played from a script on a virtual clock. What it sends arrives
// at the times the script says, in the pieces it says (or run together, as TCP may); it takes
// what it is sent at the pace the script allows; it may close the connection after its last
// bytes (seen as a hang-up at once, and as the end of the stream once those bytes are read) or
// break it (a reset: unread bytes are lost). A wait with nothing to do lets virtual time run to
// the next event or to the wait's limit, so a whole session passes without sleeping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "core/clock.h"
#include "rfc2217/byte_stream.h"

namespace tovrel::testing {

class ScriptedPeer final : public net::ByteStream {
 public:
  explicit ScriptedPeer(VirtualClock& clock) : clock_(clock) {}

  // `bytes`, `repeat` times over, arriving `delay` after the previous arrival (or after now,
  // when that is later). A receive takes at most `piece` bytes of it at a time (0: any number),
  // and never runs a piece together with the next arrival.
  void Deliver(const std::vector<std::uint8_t>& bytes, std::uint32_t repeat = 1,
               Clock::Micros delay = 0, std::size_t piece = 0);
  // `delay` after the last arrival (or after now) the connection ends: kClosed for an orderly
  // close, kFailed for a broken connection with `error`. Until this is called it stays open;
  // after it, nothing more is delivered.
  void End(net::IoStatus how, std::uint32_t error, Clock::Micros delay);
  // Each send takes at most this many bytes (0: none, the send would block) ...
  void SetSendAllowance(std::size_t bytes) { send_allowance_ = bytes; }
  // ... and none at all for `duration` from now.
  void StallSends(Clock::Micros duration) { sends_stalled_until_ = clock_.Now() + duration; }

  // Receives everything the other end sends, as it is sent.
  std::function<void(const std::uint8_t*, std::size_t)> on_sent;
  // Receives everything the other end takes in, as it is taken.
  std::function<void(const std::uint8_t*, std::size_t)> on_received;

  std::uint64_t BytesSent() const { return bytes_sent_; }
  bool AllDelivered() const { return arrivals_.empty(); }
  bool Ended() const;
  bool Broken() const;

  net::IoStatus Send(const std::uint8_t* bytes, std::size_t count, std::size_t& sent,
                     std::uint32_t& error) override;
  net::IoStatus Receive(std::uint8_t* buffer, std::size_t capacity, std::size_t& received,
                        std::uint32_t& error) override;
  bool Wait(bool want_read, bool want_write, std::uint32_t timeout_ms, net::Readiness& ready,
            std::uint32_t& error) override;

 private:
  struct Arrival {
    std::vector<std::uint8_t> bytes;
    std::uint64_t total = 0;  // bytes.size() * repeat
    std::uint64_t taken = 0;  // of total
    Clock::Micros at = 0;
    std::size_t piece = 0;
  };

  bool InputDue() const;
  bool CanSend() const;
  net::Readiness Look(bool want_read, bool want_write) const;
  // The next time something changes, if any.
  bool NextEvent(bool want_write, Clock::Micros& at) const;

  VirtualClock& clock_;
  std::deque<Arrival> arrivals_;
  Clock::Micros last_arrival_ = 0;
  bool end_set_ = false;
  net::IoStatus end_how_ = net::IoStatus::kClosed;
  std::uint32_t end_error_ = 0;
  Clock::Micros ended_at_ = 0;
  std::size_t send_allowance_ = 65536;
  Clock::Micros sends_stalled_until_ = 0;
  std::uint64_t bytes_sent_ = 0;
};

// Hands a connection's calls on to a peer that the fuzz target keeps, so that the peer outlives
// the object that takes ownership of the stream.
class BorrowedStream final : public net::ByteStream {
 public:
  explicit BorrowedStream(net::ByteStream& peer) : peer_(peer) {}

  net::IoStatus Send(const std::uint8_t* bytes, std::size_t count, std::size_t& sent,
                     std::uint32_t& error) override {
    return peer_.Send(bytes, count, sent, error);
  }
  net::IoStatus Receive(std::uint8_t* buffer, std::size_t capacity, std::size_t& received,
                        std::uint32_t& error) override {
    return peer_.Receive(buffer, capacity, received, error);
  }
  bool Wait(bool want_read, bool want_write, std::uint32_t timeout_ms, net::Readiness& ready,
            std::uint32_t& error) override {
    return peer_.Wait(want_read, want_write, timeout_ms, ready, error);
  }

 private:
  net::ByteStream& peer_;
};

}  // namespace tovrel::testing
