// One serial port opened for exclusive use, with fixed queue sizes, time-outs and line settings.
// Operations report 1 for success and 0 for failure, leaving the reason in lastError (codes
// below) and systemError (the platform's error number, or 0). Nothing here throws.
#pragma once

#include <cstdint>

#include "serial/serial_api.h"
#include "serial/trace.h"

namespace tovrel {

// Program error codes of the serial layer.
enum CommError : std::int32_t {
  kCommOk = 0,
  kErrOpen = 100,         // open failed, or Read/Write on a port that is not open
  kErrGetState = 101,     // reading the line state failed
  kErrSetState = 102,     // applying the line state failed
  kErrWrite = 104,        // a write failed
  kErrWriteShort = 105,   // a write ran out of time before every byte went out
  kErrRead = 106,         // a read failed
  kErrReadShort = 107,    // a read ran out of time before every byte arrived
  kErrGetTimeouts = 108,  // reading the time-outs failed
  kErrSetTimeouts = 109,  // applying the time-outs failed
  kErrModemStatus = 110,  // reading the modem lines failed
  kErrCtsTimeout = 111,   // CTS stayed off for the whole wait
  kErrInterrupted = 112,  // a stop was asked for while the port waited
};

// What a program error code stands for, for the trace.
const char* CommErrorName(std::int32_t code);

class CommPort {
 public:
  // Opens `port_name` (passed to the platform unchanged) and configures it: queues of 1024 and
  // 256 bytes, default time-outs, the given frame, no flow control. IsOpen() tells only whether
  // the open succeeded; a failed configuration step leaves its code in LastError().
  CommPort(SerialApi& api, const char* port_name, std::uint32_t baud_rate, int data_bits,
           int parity, int stop_bits, Trace& trace = NoTrace());
  ~CommPort();

  CommPort(const CommPort&) = delete;
  CommPort& operator=(const CommPort&) = delete;

  // Writes `count` bytes in pieces of at most 256. 1 when every byte went out. The trace shows
  // the bytes themselves, or with `trace_bytes` false only their number.
  [[nodiscard]] int Write(const std::uint8_t* bytes, std::uint32_t count, bool trace_bytes = true);
  // One timed read of exactly `count` bytes. 1 when all arrived; bytes that did arrive before a
  // shortfall stay in the buffer.
  [[nodiscard]] int Read(std::uint8_t* buffer, std::uint32_t count);
  // A read then waits for all the bytes asked for, up to `milliseconds` in all.
  [[nodiscard]] int SetReadTimeout(std::uint32_t milliseconds);
  // A write of n bytes may take up to multiplier * n + constant milliseconds.
  [[nodiscard]] int SetWriteTimeouts(std::uint32_t constant_ms, std::uint32_t multiplier_ms);
  // Waits, within the limit the write time-outs give, until every byte written has left the
  // port (FlushFileBuffers). 1 when they have; a failure leaves 104 and the platform's number.
  [[nodiscard]] int Drain();
  // Waits, within the limits of the port's platform, until every byte written is known to have
  // reached the far end of the line, and leaves in `unconfirmed_bytes` how many are not known
  // to have: always 0 on a local port, whose writes return once their bytes have gone; over a
  // network, what the server has not yet shown it received and sent. 0 when the platform could
  // not find out (104 and its error number, a lost connection); the count then holds the bytes
  // it never learned about.
  [[nodiscard]] int ConfirmOutput(std::uint32_t& unconfirmed_bytes);
  // Drops DTR, discards both queues and closes the port. Safe to call more than once.
  void Close();

  bool IsOpen() const { return isOpen; }
  std::int32_t LastError() const { return lastError; }
  std::uint32_t SystemError() const { return systemError; }

  static constexpr std::uint32_t kInputQueueBytes = 1024;
  static constexpr std::uint32_t kOutputQueueBytes = 256;
  static constexpr std::uint32_t kMaxWritePiece = 256;

 protected:
  // Records a failure with the platform's error number.
  void Fail(std::int32_t code, const SysResult& result);
  // Records a failure that has no platform error number.
  void FailWithoutSystemError(std::int32_t code);
  // Traces the failure just recorded.
  void TraceFailure();
  // Applies a line state, tracing what was asked for.
  SysResult ApplyLineState(const DCB& state);
  SysResult ApplyTimeouts(const COMMTIMEOUTS& timeouts);

  SerialApi& api;
  Trace& trace;
  PortHandle handle = INVALID_HANDLE_VALUE;
  bool isOpen = false;
  std::int32_t lastError = kCommOk;
  std::uint32_t systemError = 0;
};

}  // namespace tovrel
