#include "emulator/emulated_uart.h"

#include <algorithm>

#include "emulator/line_format.h"
#include "serial/timeout_rules.h"

namespace tovrel {
namespace {

LinkConfig UartLinkConfig() {
  LinkConfig config;
  config.write_completion = WriteCompletion::kWhenBuffered;
  config.host_tx_buffer_bytes = kUartTransmitBufferBytes;
  config.default_input_queue_bytes = kUartReceiveBufferBytes;
  config.record_calls = false;  // the server runs for hours; keep its memory flat
  return config;
}

}  // namespace

void SteppedClock::CatchUp() {
  now_ = std::max(now_, source_.Now());
}

void SteppedClock::SleepFor(Micros duration) {
  source_.SleepFor(duration);
  CatchUp();
}

EmulatedUart::EmulatedUart(Clock& clock, const DeviceConfig& config, const DeviceFaults& faults)
    : clock_(clock), device_(config, faults), link_(clock, device_, UartLinkConfig()) {
  // The link serves one port and fails only for a handle it did not give or a fault set up on
  // it, neither of which the far UART has: its calls are not checked.
  (void)link_.OpenPort("uart", port_);
  (void)link_.SetupQueues(port_, kUartReceiveBufferBytes, kUartTransmitBufferBytes);
  // Reads return at once with what is there. Writes never wait either, since Write hands over
  // only what fits; the short write time-out is a guard, not a pacing.
  COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = kMaxDword;
  timeouts.WriteTotalTimeoutConstant = 1;
  (void)link_.SetTimeouts(port_, timeouts);
  // The driver's defaults (8N1, DTR and RTS on, no flow control) at the device's own speed, so
  // that a client that never configures the port still talks to the device.
  DCB state = link_.HostLineState();
  state.BaudRate = config.initial_baud;
  (void)link_.SetLineState(port_, state);
}

bool EmulatedUart::ClearToSend() {
  // What GetModemStatus reports, read without it: the link records every call it serves, and a
  // server polling the line every millisecond would grow that record without end.
  link_.Sync();
  return device_.ClearToSend(clock_.Now());
}

bool EmulatedUart::OutputHeld() {
  return (LineState().flags & kDcbOutxCtsFlow) != 0 && !ClearToSend();
}

bool EmulatedUart::SetLineState(const DCB& state) {
  const DCB& now = LineState();
  if (state.BaudRate == now.BaudRate && state.flags == now.flags &&
      state.ByteSize == now.ByteSize && state.Parity == now.Parity &&
      state.StopBits == now.StopBits) {
    return true;
  }
  return static_cast<bool>(link_.SetLineState(port_, state));
}

std::size_t EmulatedUart::Write(const std::uint8_t* bytes, std::size_t count) {
  const std::size_t pending = link_.PendingOutput();
  if (count == 0 || pending >= kUartTransmitBufferBytes) {
    return 0;
  }
  const auto take =
      static_cast<std::uint32_t>(std::min<std::size_t>(count, kUartTransmitBufferBytes - pending));
  std::uint32_t written = 0;
  (void)link_.WriteBytes(port_, bytes, take, written);  // the count says what went
  return written;
}

std::size_t EmulatedUart::Read(std::uint8_t* buffer, std::size_t capacity) {
  if (capacity == 0 || link_.PendingInput() == 0) {
    return 0;  // nothing to take: no need to make (and have recorded) a call
  }
  std::uint32_t got = 0;
  (void)link_.ReadBytes(port_, buffer,
                        static_cast<std::uint32_t>(std::min<std::size_t>(capacity, kMaxDword)),
                        got);  // the count says what came
  return got;
}

std::optional<Clock::Micros> EmulatedUart::NextChange(bool want_room) const {
  const SimulatedLine& line = link_.Line();
  std::optional<Clock::Micros> next = line.NextDeviceEventTime();
  if (!device_.ClearToSend(line.Now())) {
    next = Earliest(next, device_.NextClearToSend(line.Now()));
  }
  const std::size_t pending = line.PendingOutput();
  if (pending > 0) {
    // Bytes that arrive before the one the device may react to show nothing; the last one
    // empties the transmit side.
    const std::size_t nth = want_room ? 1
                                      : static_cast<std::size_t>(std::min<std::uint64_t>(
                                            pending, device_.BytesBeforeReaction() + 1));
    next = Earliest(next, line.HostByteArrival(nth));
  }
  return next;
}

Clock::Micros EmulatedUart::PendingOutputTime() const {
  return Clock::Micros{link_.PendingOutput()} * ByteTimeMicros(LineState().BaudRate);
}

}  // namespace tovrel
