// The device server's UART: the host end of a SimulatedLink wired to one EmulatedDevice, used
// the way a server uses its serial port, without ever blocking. Writes take only what fits the
// transmit buffer, reads return what has arrived, and time stands still within one step of the
// server, so that every look at the line during a step sees the same instant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/clock.h"
#include "emulator/device_config.h"
#include "emulator/emulated_device.h"
#include "emulator/simulated_link.h"

namespace tovrel {

// Bytes the UART accepts beyond those on the line; more waits with the client.
inline constexpr std::uint32_t kUartTransmitBufferBytes = 4096;
// Received bytes the UART keeps for the client; more are lost, as in an overrun.
inline constexpr std::uint32_t kUartReceiveBufferBytes = 65536;

// A clock that moves only when told to catch up with the clock it follows.
class SteppedClock final : public Clock {
 public:
  explicit SteppedClock(Clock& source) : source_(source), now_(source.Now()) {}

  void CatchUp();
  Micros Now() override { return now_; }
  void SleepFor(Micros duration) override;

 private:
  Clock& source_;
  Micros now_;
};

class EmulatedUart {
 public:
  // A device at power-on, and the port open at the device's initial speed, 8 data bits, no
  // parity, one stop bit, no flow control, DTR and RTS on.
  EmulatedUart(Clock& clock, const DeviceConfig& config, const DeviceFaults& faults);
  EmulatedUart(const EmulatedUart&) = delete;
  EmulatedUart& operator=(const EmulatedUart&) = delete;

  // Lets the time since the last step pass on the line. Called once at the start of each step.
  void Advance() { link_.Sync(); }

  // CTS as the device drives it.
  bool ClearToSend();
  // True while output waits for CTS: hardware flow control is on and the device holds CTS off.
  bool OutputHeld();

  const DCB& LineState() const { return link_.HostLineState(); }
  // False when the link refuses the state (for instance a zero rate); the old one stays. A state
  // that differs from the one in force in none of the settings a port's owner changes (speed,
  // frame, flags) is not handed to the link at all.
  bool SetLineState(const DCB& state);

  // Hands over as many of `count` bytes as the transmit buffer takes; returns how many.
  std::size_t Write(const std::uint8_t* bytes, std::size_t count);
  // Takes up to `capacity` received bytes; returns how many.
  std::size_t Read(std::uint8_t* buffer, std::size_t capacity);
  // Bytes written that have not yet completely left the line.
  std::size_t PendingOutput() const { return link_.PendingOutput(); }
  std::size_t PendingInput() const { return link_.PendingInput(); }
  // PURGE_* flags: drops queued output and/or unread input.
  void Purge(std::uint32_t flags) { (void)link_.Purge(port_, flags); }
  // How long the bytes now pending take on the line at the current speed.
  Clock::Micros PendingOutputTime() const;

  // When the server next has something to see on the line without acting itself: CTS changes,
  // a byte from the device arrives or its reply may start, the transmit side empties, or (with
  // `want_room`) a byte leaves so that the transmit buffer can take more. nullopt when nothing
  // will happen until the server acts. In between the line runs on unseen, and the next Advance
  // plays all of it in order, so a server that sleeps until then changes nothing the line does.
  std::optional<Clock::Micros> NextChange(bool want_room) const;

  EmulatedDevice& Device() { return device_; }
  const EmulatedDevice& Device() const { return device_; }

 private:
  Clock& clock_;
  EmulatedDevice device_;  // before link_, which refers to it
  SimulatedLink link_;
  PortHandle port_ = INVALID_HANDLE_VALUE;
};

}  // namespace tovrel
