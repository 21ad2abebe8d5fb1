#include "serial/comm_port.h"

namespace tovrel {
namespace {

// Time-outs every port starts with, in milliseconds.
constexpr COMMTIMEOUTS kDefaultTimeouts{500, 500, 5000, 500, 2000};

// Flag-word bits this class decides; every other bit stays as the driver reported it.
constexpr std::uint32_t kFlagsCleared = 0x307E;  // parity check, CTS/DSR flow, DTR and RTS modes
constexpr std::uint32_t kFlagsSet = 0x0381;      // binary, TX continue on XOFF, XON/XOFF both ways

constexpr std::uint32_t kPurgeEverything =
    PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

}  // namespace

CommPort::CommPort(SerialApi& platform, const char* port_name, std::uint32_t baud_rate,
                   int data_bits, int parity, int stop_bits)
    : api(platform) {
  lastError = kCommOk;
  systemError = 0;

  handle = api.OpenPort(port_name);
  isOpen = handle != INVALID_HANDLE_VALUE;
  if (!isOpen) {
    Fail(kErrOpen);
    return;
  }

  api.SetupQueues(handle, kInputQueueBytes, kOutputQueueBytes);

  if (!api.SetTimeouts(handle, kDefaultTimeouts)) {
    Fail(kErrSetTimeouts);
    return;
  }

  DCB state;
  if (!api.GetLineState(handle, state)) {
    Fail(kErrGetState);
    return;
  }
  state.BaudRate = baud_rate;
  state.ByteSize = static_cast<std::uint8_t>(data_bits);
  state.Parity = static_cast<std::uint8_t>(parity);
  // One and a half stop bits exist only for 5-bit characters; wider ones get two.
  state.StopBits = static_cast<std::uint8_t>(
      (stop_bits == ONE5STOPBITS && data_bits > 5) ? TWOSTOPBITS : stop_bits);
  state.flags = (state.flags & ~kFlagsCleared) | kFlagsSet;
  state.XonChar = 0x11;
  state.XoffChar = 0x13;
  if (!api.SetLineState(handle, state)) {
    Fail(kErrSetState);
  }
}

CommPort::~CommPort() {
  Close();
}

void CommPort::Fail(std::int32_t code) {
  lastError = code;
  systemError = api.LastErrorNumber();
}

void CommPort::FailWithoutSystemError(std::int32_t code) {
  lastError = code;
  systemError = 0;
}

int CommPort::Write(const std::uint8_t* bytes, std::uint32_t count) {
  lastError = kCommOk;
  systemError = 0;
  if (!isOpen) {
    FailWithoutSystemError(kErrOpen);
    return 0;
  }
  if (count == 0 || bytes == nullptr) {
    return 1;
  }
  std::uint32_t remaining = count;
  const std::uint8_t* next = bytes;
  while (remaining > 0) {
    const std::uint32_t piece = remaining < kMaxWritePiece ? remaining : kMaxWritePiece;
    std::uint32_t written = 0;
    if (!api.WriteBytes(handle, next, piece, written)) {
      Fail(kErrWrite);
      api.ClearErrors(handle);
      return 0;
    }
    if (written < piece) {
      // The write time-out ran out; the line is not in error, so nothing to clear.
      FailWithoutSystemError(kErrWriteShort);
      return 0;
    }
    next += piece;
    remaining -= piece;
  }
  return 1;
}

int CommPort::Read(std::uint8_t* buffer, std::uint32_t count) {
  lastError = kCommOk;
  systemError = 0;
  if (!isOpen) {
    FailWithoutSystemError(kErrOpen);
    return 0;
  }
  if (count == 0 || buffer == nullptr) {
    return 1;
  }
  std::uint32_t received = 0;
  if (!api.ReadBytes(handle, buffer, count, received)) {
    Fail(kErrRead);
    api.ClearErrors(handle);
    return 0;
  }
  if (received < count) {
    FailWithoutSystemError(kErrReadShort);
    api.ClearErrors(handle);
    return 0;
  }
  return 1;
}

int CommPort::SetReadTimeout(std::uint32_t milliseconds) {
  COMMTIMEOUTS timeouts;
  if (!api.GetTimeouts(handle, timeouts)) {
    Fail(kErrGetTimeouts);
    return 0;
  }
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = milliseconds;
  if (!api.SetTimeouts(handle, timeouts)) {
    Fail(kErrSetTimeouts);
    return 0;
  }
  return 1;
}

int CommPort::SetWriteTimeouts(std::uint32_t constant_ms, std::uint32_t multiplier_ms) {
  COMMTIMEOUTS timeouts;
  if (!api.GetTimeouts(handle, timeouts)) {
    Fail(kErrGetTimeouts);
    return 0;
  }
  timeouts.WriteTotalTimeoutConstant = constant_ms;
  timeouts.WriteTotalTimeoutMultiplier = multiplier_ms;
  if (!api.SetTimeouts(handle, timeouts)) {
    Fail(kErrSetTimeouts);
    return 0;
  }
  return 1;
}

int CommPort::Drain() {
  if (!isOpen) {
    FailWithoutSystemError(kErrOpen);
    return 0;
  }
  if (!api.Drain(handle)) {
    Fail(kErrWrite);
    return 0;
  }
  return 1;
}

void CommPort::Close() {
  if (handle == INVALID_HANDLE_VALUE) {
    return;
  }
  api.ClearDtr(handle);
  api.Purge(handle, kPurgeEverything);
  api.ClosePort(handle);
  handle = INVALID_HANDLE_VALUE;
}

}  // namespace tovrel
