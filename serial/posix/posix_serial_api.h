// The platform interface on POSIX terminals (termios). Win32 semantics are emulated where the
// port classes rely on them: exclusive open, read and write time-outs on poll() deadlines,
// dropping of received NUL bytes, a bounded drain, and line-state members termios cannot hold
// kept per port and read back verbatim.
//
// Handles are small integers (1, 2, ...), never reused by one object; an unknown or closed handle
// fails with EBADF. Calls for different handles may come from different threads: the handle
// table is guarded by a mutex and each port's settings by a mutex of their own, never held while
// a call waits for the line. A failure comes back with its errno number in the call's own
// result, so one thread's failure never shows in another's.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "serial/interruption.h"
#include "serial/portable_locks.h"
#include "serial/timeout_rules.h"
#include "serial/trace.h"

namespace tovrel {

struct PosixSerialOptions {
  // How long a wait may last where the time-outs set no limit (see serial/timeout_rules.h).
  std::uint64_t unlimited_wait_cap_ms = kDefaultUnlimitedWaitCapMs;
  // When set, a read waiting for bytes gives up (EINTR, keeping what arrived) once a stop is
  // requested. Writes and drains are never cut short: a piece handed to the driver goes whole.
  Interruption* interruption = nullptr;
  // When set, the steps of taking a port for exclusive use are written to it.
  Trace* trace = nullptr;
};

class PosixSerialApi final : public SerialApiWithPortableLocks {
 public:
  PosixSerialApi();
  explicit PosixSerialApi(const PosixSerialOptions& options);
  // Closes every port still open, as ClosePort does.
  ~PosixSerialApi() override;

  PosixSerialApi(const PosixSerialApi&) = delete;
  PosixSerialApi& operator=(const PosixSerialApi&) = delete;

  // Opens the named device unchanged with open(); refuses what is not a terminal (ENOTTY) and a
  // port another open holds (flock; EWOULDBLOCK, or EBUSY from the terminal's exclusive mode),
  // and puts the port in raw mode at once.
  SysResult OpenPort(const char* name, PortHandle& port) override;
  // Nothing to size on POSIX: the sizes are kept and true is returned.
  SysResult SetupQueues(PortHandle port, std::uint32_t input_bytes,
                        std::uint32_t output_bytes) override;
  SysResult GetLineState(PortHandle port, DCB& state) override;
  // EINVAL when termios cannot express the state or the driver does not take it as asked; the
  // previous settings then stay in force.
  SysResult SetLineState(PortHandle port, const DCB& state) override;
  SysResult GetTimeouts(PortHandle port, COMMTIMEOUTS& timeouts) override;
  SysResult SetTimeouts(PortHandle port, const COMMTIMEOUTS& timeouts) override;
  // Fails with ENOTTY on a pseudo-terminal, which has no modem lines.
  SysResult GetModemStatus(PortHandle port, std::uint32_t& status) override;
  SysResult ClearDtr(PortHandle port) override;
  SysResult Purge(PortHandle port, std::uint32_t flags) override;
  SysResult ClearErrors(PortHandle port) override;
  SysResult ReadBytes(PortHandle port, std::uint8_t* buffer, std::uint32_t count,
                      std::uint32_t& bytes_read) override;
  // Returns once the driver's output queue is empty again, or when the write time-outs run out;
  // then what is still queued is discarded and not counted as written.
  SysResult WriteBytes(PortHandle port, const std::uint8_t* bytes, std::uint32_t count,
                       std::uint32_t& bytes_written) override;
  // Waits, within a limit taken from the write time-outs, until the driver's output queue is
  // empty; at once after a write that saw its bytes leave. Fails with ETIMEDOUT when the queue
  // did not empty in time.
  SysResult Drain(PortHandle port) override;
  // Gives up the port: waits as Drain does, discards what still has not left (so that close()
  // cannot wait on its own), ends the exclusive mode and the lock, and closes the descriptor.
  // A call still running on another thread keeps the descriptor until it returns.
  SysResult ClosePort(PortHandle port) override;
  std::string ErrorText(std::uint32_t number) override;
  // A busy port names the process holding its lock where the system's lock table tells it.
  std::string OpenFailureReason(const char* name, std::uint32_t number) override;

 private:
  struct Port;

  std::shared_ptr<Port> Find(PortHandle port);
  static SysResult Fail(int error_number);
  void Release(Port& port);

  const PosixSerialOptions options_;

  std::mutex ports_mutex_;
  std::map<PortHandle, std::shared_ptr<Port>> ports_;
  PortHandle next_handle_ = 1;
};

}  // namespace tovrel
