// The host's end of the link to the transporter/printer: a CommPort set up for the device
// (8N1, RTS/CTS handshake, received NULs discarded, long write time-outs) and a lock that makes
// each exchange one transaction: wait for CTS, drain, purge, write, read the fixed-length reply.
#pragma once

#include <cstdint>

#include "core/clock.h"
#include "serial/comm_port.h"
#include "serial/interruption.h"

namespace tovrel {

class DevicePort : public CommPort {
 public:
  // Opens and configures the port. IsOpen() is false when the open or the device configuration
  // failed (LastError() 100 or 102); such an object takes no further call but its destruction.
  // The CTS wait, and a transaction up to its write, give up (112) once `stop` is requested.
  DevicePort(SerialApi& api, Clock& clock, const char* port_name, std::uint32_t baud_rate,
             Interruption& stop = NoInterruption(), Trace& trace = NoTrace());
  ~DevicePort();

  // One transaction: lock, wait for CTS, drain, purge both queues, write `command`, and when a
  // reply is wanted (non-null buffer and non-zero length) read exactly `reply_length` bytes
  // within `reply_seconds`. That read time-out stays in force afterwards. A stop requested
  // before the write ends it with nothing sent; a write, once begun, is never cut short. With
  // `trace_bytes` false the trace shows only the number of bytes written (image pieces).
  [[nodiscard]] int SendCommand(const std::uint8_t* command, std::uint32_t command_length,
                                std::uint8_t* reply, std::uint32_t reply_length,
                                std::uint32_t reply_seconds, bool trace_bytes = true);
  // Changes the host side's speed; on failure the port keeps its previous speed.
  [[nodiscard]] int SetBaudRate(std::uint32_t rate);
  // 1 once CTS is on; polls every 10 ms for up to `seconds`, or until a stop is requested.
  [[nodiscard]] int WaitForClearToSend(std::uint32_t seconds);
  // Takes the lock, waiting in slices of 100 ms; INFINITE waits without limit.
  [[nodiscard]] int Lock(std::uint32_t timeout_ms);
  void Unlock();

  std::uint32_t BaudRate() const { return baudRate; }
  std::uint32_t OwnerThread() const { return ownerThread; }

  static constexpr std::uint32_t kNoOwner = 0xFFFFFFFFu;  // ownerThread while nobody holds it
  static constexpr std::uint32_t kDeviceFlags = 0x2804;   // CTS out-flow, fNull, RTS handshake
  static constexpr std::uint32_t kCtsTimeoutSeconds = 3;
  static constexpr std::uint32_t kCtsPollMs = 10;
  static constexpr std::uint32_t kLockSliceMs = 100;

 private:
  class Held;
  // Records a failure that is ours, not the system's (a stop request, CTS that never came): the
  // system error of an earlier call stays as it was. Returns 0 for the caller to hand on.
  int GiveUp(std::int32_t code);

  Clock& clock;
  Interruption& stop;
  MutexHandle mutex = kNoMutex;
  std::uint32_t ownerThread = kNoOwner;
  std::uint8_t dataBits = 8;
  std::uint8_t stopBits = ONESTOPBIT;
  std::uint32_t baudRate = 0;
  std::uint32_t ctsTimeoutSeconds = kCtsTimeoutSeconds;
};

}  // namespace tovrel
