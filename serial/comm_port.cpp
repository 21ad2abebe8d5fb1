#include "serial/comm_port.h"

#include <algorithm>

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

const char* CommErrorName(std::int32_t code) {
  switch (code) {
    case kCommOk:
      return "no error";
    case kErrOpen:
      return "open failed";
    case kErrGetState:
      return "reading the line state failed";
    case kErrSetState:
      return "applying the line state failed";
    case kErrWrite:
      return "write failed";
    case kErrWriteShort:
      return "write timed out";
    case kErrRead:
      return "read failed";
    case kErrReadShort:
      return "read timed out";
    case kErrGetTimeouts:
      return "reading the time-outs failed";
    case kErrSetTimeouts:
      return "applying the time-outs failed";
    case kErrModemStatus:
      return "reading the modem lines failed";
    case kErrCtsTimeout:
      return "CTS stayed off";
    case kErrInterrupted:
      return "stop requested";
    default:
      return "unknown error";
  }
}

CommPort::CommPort(SerialApi& platform, const char* port_name, std::uint32_t baud_rate,
                   int data_bits, int parity, int stop_bits, Trace& sink)
    : api(platform), trace(sink) {
  lastError = kCommOk;
  systemError = 0;

  const SysResult opened = api.OpenPort(port_name, handle);
  isOpen = opened && handle != INVALID_HANDLE_VALUE;
  if (!isOpen) {
    handle = INVALID_HANDLE_VALUE;
    trace.Line("open \"%s\"", port_name != nullptr ? port_name : "");
    Fail(kErrOpen, opened);
    return;
  }
  trace.Line("opened \"%s\"", port_name);

  // A driver that keeps queues of its own sizes still works: nothing here depends on them.
  (void)api.SetupQueues(handle, kInputQueueBytes, kOutputQueueBytes);

  if (const SysResult applied = ApplyTimeouts(kDefaultTimeouts); !applied) {
    Fail(kErrSetTimeouts, applied);
    return;
  }

  DCB state;
  if (const SysResult read = api.GetLineState(handle, state); !read) {
    Fail(kErrGetState, read);
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
  if (const SysResult applied = ApplyLineState(state); !applied) {
    Fail(kErrSetState, applied);
  }
}

CommPort::~CommPort() {
  Close();
}

void CommPort::Fail(std::int32_t code, const SysResult& result) {
  lastError = code;
  systemError = result.Error();
  TraceFailure();
}

void CommPort::FailWithoutSystemError(std::int32_t code) {
  lastError = code;
  systemError = 0;
  TraceFailure();
}

void CommPort::TraceFailure() {
  if (!trace.Enabled()) {
    return;
  }
  // A CTS wait that runs out or is stopped leaves the system error of an earlier call as it
  // was; it is not this failure's.
  const bool own_system_error =
      systemError != 0 && lastError != kErrCtsTimeout && lastError != kErrInterrupted;
  if (own_system_error) {
    trace.Line("failed: error %d (%s), system error %u (%s)", static_cast<int>(lastError),
               CommErrorName(lastError), static_cast<unsigned>(systemError),
               api.ErrorText(systemError).c_str());
  } else {
    trace.Line("failed: error %d (%s)", static_cast<int>(lastError), CommErrorName(lastError));
  }
}

SysResult CommPort::ApplyLineState(const DCB& state) {
  trace.Line("line state: %u baud, %u data bits, parity %u, stop bits code %u, flags 0x%04x",
             static_cast<unsigned>(state.BaudRate), static_cast<unsigned>(state.ByteSize),
             static_cast<unsigned>(state.Parity), static_cast<unsigned>(state.StopBits),
             static_cast<unsigned>(state.flags));
  return api.SetLineState(handle, state);
}

SysResult CommPort::ApplyTimeouts(const COMMTIMEOUTS& timeouts) {
  trace.Line("time-outs: read interval %u, read %u/byte + %u ms, write %u/byte + %u ms",
             static_cast<unsigned>(timeouts.ReadIntervalTimeout),
             static_cast<unsigned>(timeouts.ReadTotalTimeoutMultiplier),
             static_cast<unsigned>(timeouts.ReadTotalTimeoutConstant),
             static_cast<unsigned>(timeouts.WriteTotalTimeoutMultiplier),
             static_cast<unsigned>(timeouts.WriteTotalTimeoutConstant));
  return api.SetTimeouts(handle, timeouts);
}

int CommPort::Write(const std::uint8_t* bytes, std::uint32_t count, bool trace_bytes) {
  lastError = kCommOk;
  systemError = 0;
  if (!isOpen) {
    FailWithoutSystemError(kErrOpen);
    return 0;
  }
  if (count == 0 || bytes == nullptr) {
    return 1;
  }
  if (trace.Enabled()) {
    if (trace_bytes) {
      trace.Line("write %u bytes: %s", static_cast<unsigned>(count),
                 HexAndText(bytes, count).c_str());
    } else {
      trace.Line("write %u bytes", static_cast<unsigned>(count));
    }
  }
  std::uint32_t remaining = count;
  const std::uint8_t* next = bytes;
  while (remaining > 0) {
    const std::uint32_t piece = remaining < kMaxWritePiece ? remaining : kMaxWritePiece;
    std::uint32_t written = 0;
    if (const SysResult wrote = api.WriteBytes(handle, next, piece, written); !wrote) {
      Fail(kErrWrite, wrote);
      // Housekeeping after the failure: the write has failed whatever this does.
      (void)api.ClearErrors(handle);
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
  const SysResult read = api.ReadBytes(handle, buffer, count, received);
  if (trace.Enabled()) {
    trace.Line("read %u of %u bytes: %s", static_cast<unsigned>(received),
               static_cast<unsigned>(count), HexAndText(buffer, received).c_str());
  }
  // After a failed or short read the port's error state is cleared as housekeeping: the read
  // has failed whatever that does.
  if (!read) {
    Fail(kErrRead, read);
    (void)api.ClearErrors(handle);
    return 0;
  }
  if (received < count) {
    FailWithoutSystemError(kErrReadShort);
    (void)api.ClearErrors(handle);
    return 0;
  }
  return 1;
}

int CommPort::SetReadTimeout(std::uint32_t milliseconds) {
  COMMTIMEOUTS timeouts;
  if (const SysResult read = api.GetTimeouts(handle, timeouts); !read) {
    Fail(kErrGetTimeouts, read);
    return 0;
  }
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = milliseconds;
  if (const SysResult applied = ApplyTimeouts(timeouts); !applied) {
    Fail(kErrSetTimeouts, applied);
    return 0;
  }
  return 1;
}

int CommPort::SetWriteTimeouts(std::uint32_t constant_ms, std::uint32_t multiplier_ms) {
  COMMTIMEOUTS timeouts;
  if (const SysResult read = api.GetTimeouts(handle, timeouts); !read) {
    Fail(kErrGetTimeouts, read);
    return 0;
  }
  timeouts.WriteTotalTimeoutConstant = constant_ms;
  timeouts.WriteTotalTimeoutMultiplier = multiplier_ms;
  if (const SysResult applied = ApplyTimeouts(timeouts); !applied) {
    Fail(kErrSetTimeouts, applied);
    return 0;
  }
  return 1;
}

int CommPort::Drain() {
  if (!isOpen) {
    FailWithoutSystemError(kErrOpen);
    return 0;
  }
  trace.Line("drain");
  if (const SysResult drained = api.Drain(handle); !drained) {
    Fail(kErrWrite, drained);
    return 0;
  }
  return 1;
}

int CommPort::ConfirmOutput(std::uint32_t& unconfirmed_bytes) {
  unconfirmed_bytes = 0;
  if (!isOpen) {
    FailWithoutSystemError(kErrOpen);
    return 0;
  }
  std::uint64_t unconfirmed = 0;
  const SysResult known = api.ConfirmOutput(handle, unconfirmed);
  unconfirmed_bytes = static_cast<std::uint32_t>(std::min<std::uint64_t>(unconfirmed, 0xFFFFFFFFu));
  if (!known) {
    Fail(kErrWrite, known);
    return 0;
  }
  return 1;
}

void CommPort::Close() {
  if (handle == INVALID_HANDLE_VALUE) {
    return;
  }
  trace.Line("close: DTR off, purge both queues");
  // Releasing goes on whatever each step says: there is nothing left to do about a port that
  // will not drop DTR, purge or close.
  (void)api.ClearDtr(handle);
  (void)api.Purge(handle, kPurgeEverything);
  (void)api.ClosePort(handle);
  handle = INVALID_HANDLE_VALUE;
}

}  // namespace tovrel
