#include "emulator/simulated_line.h"

#include <algorithm>

namespace tovrel {

SimulatedLine::SimulatedLine(EmulatedDevice& device, Clock::Micros start)
    : device_(device), now_(start) {}

LineFormat SimulatedLine::HostFormat() const {
  return LineFormat{host_state_.BaudRate, host_state_.ByteSize, host_state_.Parity};
}

void SimulatedLine::SetHostState(const DCB& state) {
  host_state_ = state;
  ProcessAt(now_);  // lifting CTS flow control may let a held byte go
}

bool SimulatedLine::HostMayStart(Clock::Micros at) const {
  if (host_in_flight_ || tx_queue_.empty()) {
    return false;
  }
  return (host_state_.flags & kDcbOutxCtsFlow) == 0 || device_.ClearToSend(at);
}

bool SimulatedLine::HostRtsOn() const {
  if (!host_receiving_) {
    return false;  // a closed port drops RTS
  }
  switch (RtsControlOf(host_state_.flags)) {
    case RTS_CONTROL_ENABLE:
      return true;
    case RTS_CONTROL_HANDSHAKE:
      // The driver raises RTS whenever it can take input.
      return rx_queue_.size() < rx_capacity_;
    case RTS_CONTROL_TOGGLE:
      return host_in_flight_.has_value() || !tx_queue_.empty();
    default:
      return false;
  }
}

std::optional<Clock::Micros> SimulatedLine::NextEventTime() const {
  std::optional<Clock::Micros> host;
  if (host_in_flight_) {
    host = host_in_flight_->ends_at;
  } else if (!tx_queue_.empty()) {
    host = HostMayStart(now_) ? now_ : device_.NextClearToSend(now_);
  }
  return Earliest(host, NextDeviceEventTime());
}

std::optional<Clock::Micros> SimulatedLine::NextDeviceEventTime() const {
  if (device_in_flight_) {
    return device_in_flight_->ends_at;
  }
  if (auto ready = device_.NextOutputReady(); ready && HostRtsOn()) {
    return std::max(*ready, now_);
  }
  return std::nullopt;
}

std::optional<Clock::Micros> SimulatedLine::HostByteArrival(std::size_t nth) const {
  if (nth == 0 || nth > PendingOutput()) {
    return std::nullopt;
  }
  // Each byte starts the moment the one before it has ended.
  const Clock::Micros byte_time = ByteTimeMicros(host_state_.BaudRate);
  Clock::Micros first_end = 0;
  if (host_in_flight_) {
    first_end = host_in_flight_->ends_at;
  } else if (HostMayStart(now_)) {
    first_end = now_ + byte_time;
  } else {
    return std::nullopt;
  }
  return first_end + Clock::Micros{nth - 1} * byte_time;
}

void SimulatedLine::AdvanceTo(Clock::Micros target) {
  for (;;) {
    const std::optional<Clock::Micros> next = NextEventTime();
    if (!next || *next > target) {
      break;
    }
    now_ = std::max(now_, *next);
    if (!ProcessAt(now_)) {
      break;  // nothing was due after all; never loop without moving on
    }
  }
  now_ = std::max(now_, target);
}

bool SimulatedLine::ProcessAt(Clock::Micros at) {
  bool changed = false;
  // Arrivals first: a byte that ends now may change CTS or queue a reply that starts now.
  if (host_in_flight_ && host_in_flight_->ends_at <= at) {
    const InFlight byte = *host_in_flight_;
    host_in_flight_.reset();
    device_.ReceiveByte(byte.value, byte.format, byte.ends_at);
    changed = true;
  }
  if (device_in_flight_ && device_in_flight_->ends_at <= at) {
    const InFlight byte = *device_in_flight_;
    device_in_flight_.reset();
    device_.FinishOutputByte(byte.ends_at);
    DeliverToHost(byte);
    changed = true;
  }
  if (HostMayStart(at)) {
    const LineFormat format = HostFormat();
    host_in_flight_ = InFlight{tx_queue_.front(), format, at + ByteTimeMicros(format.baud)};
    tx_queue_.pop_front();
    changed = true;
  }
  // The device honours the hardware handshake: it starts a byte only while the host's RTS is on
  // (a byte under way finishes).
  if (!device_in_flight_ && HostRtsOn()) {
    const std::optional<Clock::Micros> ready = device_.NextOutputReady();
    if (ready && *ready <= at) {
      const LineFormat format = device_.Format();
      const std::uint8_t value = device_.StartOutputByte();
      device_in_flight_ = InFlight{value, format, at + ByteTimeMicros(format.baud)};
      changed = true;
    }
  }
  return changed;
}

void SimulatedLine::DeliverToHost(const InFlight& byte) {
  if (!host_receiving_) {
    ++lost_input_;
    return;
  }
  std::uint8_t value = byte.value;
  if (byte.format != HostFormat()) {
    value = kGarbledByte;
    ++garbled_input_;
  }
  if (value == 0 && (host_state_.flags & kDcbNull) != 0) {
    ++discarded_nuls_;
    return;
  }
  if (rx_queue_.size() >= rx_capacity_) {
    ++lost_input_;
    return;
  }
  rx_queue_.push_back(value);
  last_rx_arrival_ = byte.ends_at;
}

void SimulatedLine::QueueHostOutput(const std::uint8_t* bytes, std::size_t count) {
  tx_queue_.insert(tx_queue_.end(), bytes, bytes + count);
  ProcessAt(now_);
}

std::size_t SimulatedLine::DropQueuedOutput(std::size_t count) {
  const std::size_t dropped = std::min(count, tx_queue_.size());
  tx_queue_.erase(tx_queue_.end() - static_cast<std::ptrdiff_t>(dropped), tx_queue_.end());
  return dropped;
}

std::size_t SimulatedLine::TakeInput(std::uint8_t* buffer, std::size_t count) {
  const std::size_t taken = std::min(count, rx_queue_.size());
  std::copy_n(rx_queue_.begin(), taken, buffer);
  rx_queue_.erase(rx_queue_.begin(), rx_queue_.begin() + static_cast<std::ptrdiff_t>(taken));
  return taken;
}

}  // namespace tovrel
