// The platform interface under the port classes. Each operation mirrors one platform call that
// CommPort or DevicePort makes, with the Win32 meaning, and reports as a SysResult: success, or
// the system's error number. Backends: POSIX termios, Win32, the simulated link to the emulated
// device, RFC 2217.
#pragma once

#include <cstdint>
#include <string>

#include "core/serial_types.h"
#include "serial/sys_result.h"

namespace tovrel {

class SerialApi {
 public:
  virtual ~SerialApi() = default;

  // Opens the named port for exclusive read/write use; `port` is INVALID_HANDLE_VALUE on failure.
  virtual SysResult OpenPort(const char* name, PortHandle& port) = 0;
  // Asks the driver for queues of the given sizes (SetupComm).
  virtual SysResult SetupQueues(PortHandle port, std::uint32_t input_bytes,
                                std::uint32_t output_bytes) = 0;
  // Reads the line state in force (GetCommState).
  virtual SysResult GetLineState(PortHandle port, DCB& state) = 0;
  // Applies a line state (SetCommState); a following GetLineState reads back what is in force.
  virtual SysResult SetLineState(PortHandle port, const DCB& state) = 0;
  virtual SysResult GetTimeouts(PortHandle port, COMMTIMEOUTS& timeouts) = 0;
  virtual SysResult SetTimeouts(PortHandle port, const COMMTIMEOUTS& timeouts) = 0;
  // Modem input lines as MS_* bits (GetCommModemStatus).
  virtual SysResult GetModemStatus(PortHandle port, std::uint32_t& status) = 0;
  // Drops DTR (EscapeCommFunction with CLRDTR).
  virtual SysResult ClearDtr(PortHandle port) = 0;
  // Discards queued data as the PURGE_* flags say (PurgeComm).
  virtual SysResult Purge(PortHandle port, std::uint32_t flags) = 0;
  // Clears the port's error state (ClearCommError).
  virtual SysResult ClearErrors(PortHandle port) = 0;
  // One synchronous read under the time-outs in force (ReadFile): returns when `count` bytes
  // have arrived or the time-out has run out; `bytes_read` tells how many did.
  virtual SysResult ReadBytes(PortHandle port, std::uint8_t* buffer, std::uint32_t count,
                              std::uint32_t& bytes_read) = 0;
  // One synchronous write under the time-outs in force (WriteFile).
  virtual SysResult WriteBytes(PortHandle port, const std::uint8_t* bytes, std::uint32_t count,
                               std::uint32_t& bytes_written) = 0;
  // Returns once every queued output byte has been sent (FlushFileBuffers). Bounded.
  virtual SysResult Drain(PortHandle port) = 0;
  // Waits, bounded, until every byte written is known to have reached the far end of the line,
  // and tells how many are not known to have. A local port's writes return once their bytes
  // have gone, so it knows them all; a port on a network server learns it from the server.
  virtual SysResult ConfirmOutput(PortHandle /*port*/, std::uint64_t& unconfirmed_bytes) {
    unconfirmed_bytes = 0;
    return SysResult::Ok();
  }
  virtual SysResult ClosePort(PortHandle port) = 0;
  // The system's own text for an error number this backend reported (strerror, FormatMessage).
  virtual std::string ErrorText(std::uint32_t number) { return "error " + std::to_string(number); }
  // Why opening `name` failed with `number`, in words for the person at the keyboard: what the
  // number means for a serial port and what to do about it. One line, no line end.
  virtual std::string OpenFailureReason(const char* /*name*/, std::uint32_t number) {
    return ErrorText(number);
  }

  // A lock that its owning thread may take again; free once each taking is given back
  // (CreateMutexA). Returns kNoMutex on failure.
  virtual MutexHandle CreateLock() = 0;
  // Waits up to `milliseconds` for the lock (WaitForSingleObject).
  virtual WaitResult WaitForLock(MutexHandle lock, std::uint32_t milliseconds) = 0;
  // Gives back one taking (ReleaseMutex).
  virtual SysResult ReleaseLock(MutexHandle lock) = 0;
  virtual void DestroyLock(MutexHandle lock) = 0;
  // Id of the calling thread (GetCurrentThreadId).
  virtual std::uint32_t CurrentThreadId() = 0;
};

}  // namespace tovrel
