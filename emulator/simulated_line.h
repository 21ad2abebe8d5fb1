// The wire between the host's port and the emulated device: the host's output queue, one byte in
// flight in each direction, and the host's input queue. Time moves only through AdvanceTo, which
// plays every event up to the given time in order; nothing here sleeps.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "core/clock.h"
#include "core/serial_types.h"
#include "emulator/emulated_device.h"
#include "emulator/line_format.h"

namespace tovrel {

// The earlier of two times, either of which may be missing.
inline std::optional<Clock::Micros> Earliest(std::optional<Clock::Micros> a,
                                             std::optional<Clock::Micros> b) {
  if (a && b) {
    return std::min(*a, *b);
  }
  return a ? a : b;
}

class SimulatedLine {
 public:
  SimulatedLine(EmulatedDevice& device, Clock::Micros start);

  // Plays every event up to `target` (a target in the past is ignored).
  void AdvanceTo(Clock::Micros target);
  // The time of the next thing that will happen on its own; after AdvanceTo(t) it is later than
  // t. nullopt when nothing will ever happen without a new host action (for instance the host's
  // output waits for a CTS that is stuck off, and the device has nothing to say).
  std::optional<Clock::Micros> NextEventTime() const;
  // The device's part of that: its byte on the line ends, or its next byte may start (the
  // host's RTS on). nullopt when neither.
  std::optional<Clock::Micros> NextDeviceEventTime() const;
  // When the `nth` byte of the host's pending output (1: the one on the line, or the next to
  // start) will have completely arrived, if nothing holds the line meanwhile and the speed stays.
  // nullopt when fewer are pending or the output waits for CTS.
  std::optional<Clock::Micros> HostByteArrival(std::size_t nth) const;
  Clock::Micros Now() const { return now_; }

  // The host port's line state: speed and frame of what it sends and expects, CTS output flow
  // control, RTS control and NUL discarding.
  void SetHostState(const DCB& state);
  // Whether the host's port takes in what arrives (false while closed: bytes are lost).
  void SetHostReceiving(bool receiving) { host_receiving_ = receiving; }

  // Host output.
  void QueueHostOutput(const std::uint8_t* bytes, std::size_t count);
  // Bytes written by the host that have not yet completely left the line.
  std::size_t PendingOutput() const { return tx_queue_.size() + (host_in_flight_ ? 1u : 0u); }
  // Drops up to `count` bytes from the back of the output not yet started; returns how many.
  std::size_t DropQueuedOutput(std::size_t count);
  std::size_t QueuedOutput() const { return tx_queue_.size(); }
  void ClearOutput() { tx_queue_.clear(); }

  // Host input.
  std::size_t AvailableInput() const { return rx_queue_.size(); }
  std::size_t TakeInput(std::uint8_t* buffer, std::size_t count);
  void ClearInput() { rx_queue_.clear(); }
  void SetInputCapacity(std::size_t bytes) { rx_capacity_ = bytes; }
  // When the last byte entered the input queue (0 before any did).
  Clock::Micros LastInputArrival() const { return last_rx_arrival_; }

  // Counters of the host's receiving side.
  std::uint32_t GarbledInput() const { return garbled_input_; }
  std::uint32_t DiscardedNuls() const { return discarded_nuls_; }
  std::uint32_t LostInput() const { return lost_input_; }

 private:
  struct InFlight {
    std::uint8_t value = 0;
    LineFormat format;
    Clock::Micros ends_at = 0;
  };

  // Completes what ends at `at` and starts what can start then. False when nothing changed.
  bool ProcessAt(Clock::Micros at);
  bool HostMayStart(Clock::Micros at) const;
  // The host's RTS as its driver drives it; the device sends only while it is on.
  bool HostRtsOn() const;
  void DeliverToHost(const InFlight& byte);
  LineFormat HostFormat() const;

  EmulatedDevice& device_;
  Clock::Micros now_;
  DCB host_state_;
  bool host_receiving_ = true;

  std::deque<std::uint8_t> tx_queue_;
  std::optional<InFlight> host_in_flight_;
  std::optional<InFlight> device_in_flight_;

  std::deque<std::uint8_t> rx_queue_;
  std::size_t rx_capacity_ = 4096;
  Clock::Micros last_rx_arrival_ = 0;

  std::uint32_t garbled_input_ = 0;
  std::uint32_t discarded_nuls_ = 0;
  std::uint32_t lost_input_ = 0;
};

}  // namespace tovrel
