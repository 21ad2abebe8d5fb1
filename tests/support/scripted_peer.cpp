#include "tests/support/scripted_peer.h"

#include <algorithm>
#include <cerrno>

namespace tovrel::testing {

void ScriptedPeer::Deliver(const std::vector<std::uint8_t>& bytes, std::uint32_t repeat,
                           Clock::Micros delay, std::size_t piece) {
  if (bytes.empty() || repeat == 0 || end_set_) {
    return;  // nothing comes after the end
  }
  Arrival arrival;
  arrival.total = std::uint64_t{bytes.size()} * repeat;
  arrival.bytes = bytes;
  arrival.at = std::max(last_arrival_, clock_.Now()) + delay;
  arrival.piece = piece;
  last_arrival_ = arrival.at;
  arrivals_.push_back(std::move(arrival));
}

void ScriptedPeer::End(net::IoStatus how, std::uint32_t error, Clock::Micros delay) {
  if (end_set_) {
    return;
  }
  end_set_ = true;
  end_how_ = how;
  end_error_ = error != 0 ? error : static_cast<std::uint32_t>(ECONNRESET);
  ended_at_ = std::max(last_arrival_, clock_.Now()) + delay;
}

bool ScriptedPeer::Ended() const {
  return end_set_ && clock_.Now() >= ended_at_;
}

bool ScriptedPeer::Broken() const {
  return Ended() && end_how_ == net::IoStatus::kFailed;
}

bool ScriptedPeer::InputDue() const {
  return !Broken() && !arrivals_.empty() && arrivals_.front().at <= clock_.Now();
}

bool ScriptedPeer::CanSend() const {
  return Broken() || (send_allowance_ > 0 && clock_.Now() >= sends_stalled_until_);
}

net::Readiness ScriptedPeer::Look(bool want_read, bool want_write) const {
  // As a socket reports it: a reset at once; an orderly close as input (the end of the stream)
  // once everything before it has been taken, and as a hang-up even while input is not wanted.
  net::Readiness ready;
  const bool end_of_stream = Ended() && arrivals_.empty();
  ready.readable = (want_read && (InputDue() || end_of_stream)) || Broken();
  ready.writable = (want_write && CanSend()) || Broken();
  ready.hung_up = Ended();
  return ready;
}

bool ScriptedPeer::NextEvent(bool want_write, Clock::Micros& at) const {
  bool found = false;
  auto consider = [&](Clock::Micros when) {
    if (when <= clock_.Now()) {
      return;  // already here: a wait that does not want it still waits
    }
    if (!found || when < at) {
      at = when;
      found = true;
    }
  };
  // An arrival counts even while input is not wanted: it may be the end of the connection, which
  // is reported either way.
  if (!arrivals_.empty()) {
    consider(arrivals_.front().at);
  }
  if (end_set_) {
    consider(ended_at_);
  }
  if (want_write && send_allowance_ > 0) {
    consider(sends_stalled_until_);
  }
  return found;
}

net::IoStatus ScriptedPeer::Send(const std::uint8_t* bytes, std::size_t count, std::size_t& sent,
                                 std::uint32_t& error) {
  sent = 0;
  if (Broken()) {
    error = end_error_;
    return net::IoStatus::kFailed;
  }
  if (!CanSend()) {
    error = EWOULDBLOCK;
    return net::IoStatus::kWouldBlock;
  }
  sent = std::min(count, send_allowance_);
  bytes_sent_ += sent;
  if (on_sent && sent > 0) {
    on_sent(bytes, sent);
  }
  return net::IoStatus::kDone;
}

net::IoStatus ScriptedPeer::Receive(std::uint8_t* buffer, std::size_t capacity,
                                    std::size_t& received, std::uint32_t& error) {
  received = 0;
  if (Broken()) {
    arrivals_.clear();  // a reset drops what was not read
    error = end_error_;
    return net::IoStatus::kFailed;
  }
  while (received < capacity && InputDue()) {
    Arrival& arrival = arrivals_.front();
    std::uint64_t want =
        std::min<std::uint64_t>(capacity - received, arrival.total - arrival.taken);
    if (arrival.piece > 0) {
      want = std::min<std::uint64_t>(want, arrival.piece);
    }
    for (std::uint64_t i = 0; i < want; ++i) {
      buffer[received++] = arrival.bytes[(arrival.taken + i) % arrival.bytes.size()];
    }
    arrival.taken += want;
    const bool piece_ends = arrival.piece > 0;
    if (arrival.taken == arrival.total) {
      arrivals_.pop_front();
    }
    if (piece_ends) {
      break;
    }
  }
  if (received > 0) {
    if (on_received) {
      on_received(buffer, received);
    }
    return net::IoStatus::kDone;
  }
  if (Ended() && arrivals_.empty()) {
    return net::IoStatus::kClosed;
  }
  error = EWOULDBLOCK;
  return net::IoStatus::kWouldBlock;
}

bool ScriptedPeer::Wait(bool want_read, bool want_write, std::uint32_t timeout_ms,
                        net::Readiness& ready, std::uint32_t& /*error*/) {
  ready = Look(want_read, want_write);
  if (ready.readable || ready.writable) {
    return true;
  }
  const Clock::Micros limit = clock_.Now() + Clock::Micros{timeout_ms} * 1000u;
  Clock::Micros until = limit;
  Clock::Micros next = 0;
  if (NextEvent(want_write, next)) {
    until = std::min(until, next);
  }
  clock_.Advance(until - clock_.Now());
  ready = Look(want_read, want_write);
  return true;
}

}  // namespace tovrel::testing
