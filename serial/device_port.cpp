#include "serial/device_port.h"

namespace tovrel {
namespace {

constexpr std::uint32_t kDeviceReadTimeoutMs = 20000;
constexpr std::uint32_t kDeviceWriteConstantMs = 10000;
constexpr std::uint32_t kDeviceWriteMultiplierMs = 200;
constexpr std::uint32_t kPurgeQueues = PURGE_TXCLEAR | PURGE_RXCLEAR;

}  // namespace

DevicePort::DevicePort(SerialApi& platform, Clock& time_source, const char* port_name,
                       std::uint32_t baud_rate, Interruption& stop_request, Trace& sink)
    : CommPort(platform, port_name, baud_rate, 8, NOPARITY, ONESTOPBIT, sink),
      clock(time_source),
      stop(stop_request) {
  if (!isOpen) {
    return;
  }
  dataBits = 8;
  stopBits = ONESTOPBIT;
  baudRate = baud_rate;
  ctsTimeoutSeconds = kCtsTimeoutSeconds;

  // A port that keeps the driver's time-outs still works, so these results are not acted on.
  (void)SetReadTimeout(kDeviceReadTimeoutMs);
  (void)SetWriteTimeouts(kDeviceWriteConstantMs, kDeviceWriteMultiplierMs);

  DCB state;
  SysResult configured = api.GetLineState(handle, state);
  if (configured) {
    state.BaudRate = baud_rate;
    state.ByteSize = dataBits;
    state.Parity = NOPARITY;
    state.StopBits = stopBits;
    // The whole word: output paced by CTS, received NULs dropped, RTS handshake, DTR off,
    // no XON/XOFF, no parity checking, no error character, no abort on error.
    state.flags = kDeviceFlags;
    state.XonLim = 0;
    state.XoffLim = 0;
    state.ErrorChar = 0;
    state.EofChar = 0;
    state.EvtChar = 0;
    state.wReserved1 = 0;
    configured = ApplyLineState(state);
  }
  if (!configured) {
    isOpen = false;
    Fail(kErrSetState, configured);
    return;
  }

  ownerThread = kNoOwner;
  mutex = api.CreateLock();
}

DevicePort::~DevicePort() {
  Close();
  if (mutex != kNoMutex) {
    api.DestroyLock(mutex);
  }
}

int DevicePort::Lock(std::uint32_t timeout_ms) {
  std::uint32_t elapsed = 0;
  while (timeout_ms == INFINITE || elapsed < timeout_ms) {
    switch (api.WaitForLock(mutex, kLockSliceMs)) {
      case WaitResult::kTaken:
        ownerThread = api.CurrentThreadId();
        return 1;
      case WaitResult::kTimeout:
        // Saturate so that a time-out close to the top of the range cannot wrap and wait again.
        elapsed = elapsed > INFINITE - kLockSliceMs ? INFINITE : elapsed + kLockSliceMs;
        break;
      case WaitResult::kAbandoned:
      case WaitResult::kFailed:
        return 0;
    }
  }
  return 0;
}

void DevicePort::Unlock() {
  ownerThread = kNoOwner;
  (void)api.ReleaseLock(mutex);  // a lock given back twice fails harmlessly; nothing to undo
}

// Holds the port's lock for one call and gives it back on every way out. The lock is taken
// whatever it answers: no other thread contends for it, so its result changes nothing.
class DevicePort::Held {
 public:
  explicit Held(DevicePort& locked) : port(locked) { (void)port.Lock(INFINITE); }
  ~Held() { port.Unlock(); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

 private:
  DevicePort& port;
};

int DevicePort::GiveUp(std::int32_t code) {
  lastError = code;
  TraceFailure();
  return 0;
}

int DevicePort::WaitForClearToSend(std::uint32_t seconds) {
  const Held held(*this);
  // Polls every 10 ms; the status is read once more after each sleep but the last, so with
  // N seconds the device gets N * 100 + 1 chances to raise CTS.
  const std::uint64_t max_sleeps = std::uint64_t{seconds} * (1000 / kCtsPollMs);
  std::uint64_t sleeps = 0;
  std::uint32_t status = 0;
  SysResult status_read = api.GetModemStatus(handle, status);
  while (status_read) {
    if ((status & MS_CTS_ON) != 0) {
      trace.Line("CTS on after %u polls", static_cast<unsigned>(sleeps + 1));
      return 1;
    }
    if (stop.Requested()) {
      return GiveUp(kErrInterrupted);
    }
    clock.Sleep(kCtsPollMs);
    if (++sleeps > max_sleeps) {
      trace.Line("CTS off after %u polls", static_cast<unsigned>(sleeps));
      return GiveUp(kErrCtsTimeout);
    }
    status_read = api.GetModemStatus(handle, status);
  }
  Fail(kErrModemStatus, status_read);
  (void)api.ClearErrors(handle);  // housekeeping: the wait has failed whatever this does
  return 0;
}

int DevicePort::SetBaudRate(std::uint32_t rate) {
  const Held held(*this);
  DCB state;
  if (const SysResult read = api.GetLineState(handle, state); !read) {
    Fail(kErrGetState, read);
    return 0;
  }
  trace.Line("rate %u -> %u baud", static_cast<unsigned>(baudRate), static_cast<unsigned>(rate));
  state.BaudRate = rate;
  if (const SysResult applied = ApplyLineState(state); !applied) {
    Fail(kErrSetState, applied);
    return 0;
  }
  baudRate = rate;
  return 1;
}

int DevicePort::SendCommand(const std::uint8_t* command, std::uint32_t command_length,
                            std::uint8_t* reply, std::uint32_t reply_length,
                            std::uint32_t reply_seconds, bool trace_bytes) {
  const Held held(*this);
  if (!WaitForClearToSend(ctsTimeoutSeconds)) {
    return 0;
  }
  // Let the previous transaction's bytes leave, then drop anything that arrived before this
  // command so a late or surplus reply byte is never taken as part of this reply. A drain that
  // gives up leaves bytes queued that the purge would throw away: the device would get a piece
  // with a hole in it, so the transaction ends here instead, with nothing discarded.
  trace.Line("drain");
  if (const SysResult drained = api.Drain(handle); !drained) {
    Fail(kErrWrite, drained);
    return 0;
  }
  // The last point at which the transaction can be given up with nothing of it sent.
  if (stop.Requested()) {
    return GiveUp(kErrInterrupted);
  }
  trace.Line("purge both queues");
  // Not tested: a queue that could not be emptied only risks a stale byte, which the reply's
  // judging catches.
  (void)api.Purge(handle, kPurgeQueues);
  if (!Write(command, command_length, trace_bytes)) {
    return 0;
  }
  if (reply_length == 0 || reply == nullptr) {
    return 1;
  }
  // Not tested: a read under the time-out already in force still ends.
  (void)SetReadTimeout(reply_seconds * 1000u);
  return Read(reply, reply_length);
}

}  // namespace tovrel
