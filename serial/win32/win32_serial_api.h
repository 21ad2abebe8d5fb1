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
  PortHandle OpenPort(const char* name) override;
  bool SetupQueues(PortHandle port, std::uint32_t input_bytes, std::uint32_t output_bytes) override;
  bool GetLineState(PortHandle port, DCB& state) override;
  bool SetLineState(PortHandle port, const DCB& state) override;
  bool GetTimeouts(PortHandle port, COMMTIMEOUTS& timeouts) override;
  bool SetTimeouts(PortHandle port, const COMMTIMEOUTS& timeouts) override;
  bool GetModemStatus(PortHandle port, std::uint32_t& status) override;
  bool ClearDtr(PortHandle port) override;
  bool Purge(PortHandle port, std::uint32_t flags) override;
  bool ClearErrors(PortHandle port) override;
  bool ReadBytes(PortHandle port, std::uint8_t* buffer, std::uint32_t count,
                 std::uint32_t& bytes_read) override;
  bool WriteBytes(PortHandle port, const std::uint8_t* bytes, std::uint32_t count,
                  std::uint32_t& bytes_written) override;
  bool Drain(PortHandle port) override;
  bool ClosePort(PortHandle port) override;
  std::uint32_t LastErrorNumber() override;
  // The system's message for the number (FormatMessage), without its line end.
  std::string ErrorText(std::uint32_t number) override;
  std::string OpenFailureReason(const char* name, std::uint32_t number) override;

  // An unnamed kernel mutex: re-entrant for its owning thread, as the port's lock needs.
  MutexHandle CreateLock() override;
  WaitResult WaitForLock(MutexHandle lock, std::uint32_t milliseconds) override;
  bool ReleaseLock(MutexHandle lock) override;
  void DestroyLock(MutexHandle lock) override;
  std::uint32_t CurrentThreadId() override;

 private:
  Interruption& stop_;
};

}  // namespace tovrel
