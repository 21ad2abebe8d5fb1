// Host-side settings, fault knobs and call records of the simulated link.
#pragma once

#include <cstdint>

#include "core/clock.h"

namespace tovrel {

// Error numbers the simulated platform reports, with their Win32 meaning.
inline constexpr std::uint32_t kSimErrorFileNotFound = 2;   // no such port
inline constexpr std::uint32_t kSimErrorAccessDenied = 5;   // port already open
inline constexpr std::uint32_t kSimErrorInvalidHandle = 6;  // not the open port's handle
inline constexpr std::uint32_t kSimErrorGenFailure = 31;    // default for injected faults
inline constexpr std::uint32_t kSimErrorInvalidParameter = 87;
inline constexpr std::uint32_t kSimErrorTimeout = 1460;          // a drain that ran out of time
inline constexpr std::uint32_t kSimErrorOperationAborted = 995;  // a read cut short by a stop

// When a write returns to its caller.
enum class WriteCompletion {
  // Once its last byte has left the line (or its time-out ran out), as a synchronous Win32
  // WriteFile on a serial port does: the device has seen the whole write, and may already have
  // dropped CTS, when WriteBytes returns.
  kWhenSent,
  // As soon as no more than `host_tx_buffer_bytes` are still unsent: a driver that hands back
  // control while its buffer drains, as a server's non-blocking UART does. Drain waits for the
  // rest.
  kWhenBuffered,
};

struct LinkConfig {
  WriteCompletion write_completion = WriteCompletion::kWhenSent;
  // How many written bytes the host driver holds, not yet completely sent. With kWhenSent they
  // are all sent before the write returns.
  std::uint32_t host_tx_buffer_bytes = 0;
  // Input queue size until SetupQueues sets one; bytes beyond it are lost.
  std::uint32_t default_input_queue_bytes = 4096;
  // Whether Calls() keeps every platform call. A link that serves for hours (the network
  // emulator) turns this off so that its memory stays flat; call counts are always kept.
  bool record_calls = true;
};

// The link behind a `sim://` port: the output queue the device port asks for, and writes that
// return once sent, like the Win32 driver the port classes are written against.
LinkConfig EmulatedPortLinkConfig();

// Each *_from_call is 0 for "never", or N: the Nth call of that kind (counted from 1 since the
// link was made, failed calls included) and every later one fail with `error_number`.
struct HostFaults {
  bool open_fails = false;
  // The port is not there before this moment on the link's clock: an adapter plugged in later.
  Clock::Micros open_fails_until = 0;
  std::uint32_t open_error_number = kSimErrorFileNotFound;

  std::uint32_t get_line_state_fails_from_call = 0;
  std::uint32_t set_line_state_fails_from_call = 0;
  std::uint32_t get_timeouts_fails_from_call = 0;
  std::uint32_t set_timeouts_fails_from_call = 0;
  std::uint32_t modem_status_fails_from_call = 0;
  std::uint32_t read_fails_from_call = 0;
  std::uint32_t write_fails_from_call = 0;

  std::uint32_t error_number = kSimErrorGenFailure;
};

// The platform calls the host makes.
enum class HostOp {
  kOpenPort,
  kSetupQueues,
  kGetLineState,
  kSetLineState,
  kGetTimeouts,
  kSetTimeouts,
  kGetModemStatus,
  kClearDtr,
  kPurge,
  kClearErrors,
  kReadBytes,
  kWriteBytes,
  kDrain,
  kClosePort,
};
inline constexpr int kHostOpCount = static_cast<int>(HostOp::kClosePort) + 1;

// One platform call as the link saw it.
struct HostCall {
  HostOp op = HostOp::kOpenPort;
  Clock::Micros at = 0;        // clock time when the call was made
  std::uint32_t argument = 0;  // bytes asked for (read, write), flags (purge), BaudRate (set
                               // line state), input queue size (setup queues), else 0
  std::uint32_t result = 0;    // bytes read or written, modem status bits, else 0
  bool ok = false;             // the call's success flag
};

}  // namespace tovrel
