// The platform interface on Windows: each operation is the one kernel32 call it mirrors, with the
// structures converted field by field. Handles are kept as integers, so this header does not pull
// in <windows.h>.
#pragma once

#include <cstdint>
#include <string>

#include "serial/interruption.h"
#include "serial/serial_api.h"

namespace tovrel {

class Win32SerialApi final : public SerialApi {
 public:
  // A read is a blocking call bracketed for `stop`, which may cancel it (ERROR_OPERATION_ABORTED,
  // keeping what arrived); once a stop is requested no read is begun. Writes and flushes are
  // never cut short: a piece handed to the driver goes whole.
  explicit Win32SerialApi(Interruption& stop = NoInterruption()) : stop_(stop) {}

  // CreateFileA(name, read|write, no sharing, OPEN_EXISTING, synchronous). The name is passed
  // unchanged: "COM2", or "\\.\COM10" for ports above 9.
  SysResult OpenPort(const char* name, PortHandle& port) override;
  SysResult SetupQueues(PortHandle port, std::uint32_t input_bytes,
                        std::uint32_t output_bytes) override;
  SysResult GetLineState(PortHandle port, DCB& state) override;
  SysResult SetLineState(PortHandle port, const DCB& state) override;
  SysResult GetTimeouts(PortHandle port, COMMTIMEOUTS& timeouts) override;
  SysResult SetTimeouts(PortHandle port, const COMMTIMEOUTS& timeouts) override;
  SysResult GetModemStatus(PortHandle port, std::uint32_t& status) override;
  SysResult ClearDtr(PortHandle port) override;
  SysResult Purge(PortHandle port, std::uint32_t flags) override;
  SysResult ClearErrors(PortHandle port) override;
  SysResult ReadBytes(PortHandle port, std::uint8_t* buffer, std::uint32_t count,
                      std::uint32_t& bytes_read) override;
  SysResult WriteBytes(PortHandle port, const std::uint8_t* bytes, std::uint32_t count,
                       std::uint32_t& bytes_written) override;
  SysResult Drain(PortHandle port) override;
  SysResult ClosePort(PortHandle port) override;
  // The system's message for the number (FormatMessage), without its line end.
  std::string ErrorText(std::uint32_t number) override;
  std::string OpenFailureReason(const char* name, std::uint32_t number) override;

  // An unnamed kernel mutex: re-entrant for its owning thread, as the port's lock needs.
  MutexHandle CreateLock() override;
  WaitResult WaitForLock(MutexHandle lock, std::uint32_t milliseconds) override;
  SysResult ReleaseLock(MutexHandle lock) override;
  void DestroyLock(MutexHandle lock) override;
  std::uint32_t CurrentThreadId() override;

 private:
  Interruption& stop_;
};

// The system's own text for a Win32 error number, without its trailing full stop and line end.
std::string Win32ErrorText(std::uint32_t number);

}  // namespace tovrel
