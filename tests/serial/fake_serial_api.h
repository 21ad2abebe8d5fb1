// A scripted platform that records every call, for checking the exact sequence of platform calls
// the port classes make. Time passes only on the VirtualClock it is given.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "core/clock.h"
#include "serial/portable_locks.h"

namespace tovrel::testing {

class FakeSerialApi final : public SerialApiWithPortableLocks {
 public:
  explicit FakeSerialApi(VirtualClock& clock) : clock_(clock) {}

  // --- Script -------------------------------------------------------------------------------
  std::uint32_t error_number = 0;  // the error a scripted failure reports
  bool fail_open = false;
  bool fail_get_state = false;
  int fail_set_state_from_call = 0;  // 1-based SetLineState call that starts failing; 0 = never
  bool fail_get_timeouts = false;
  int fail_set_timeouts_from_call = 0;
  bool fail_modem_status = false;
  // CTS seen by successive status reads; the last value repeats. Empty means CTS on.
  std::deque<bool> cts_sequence;
  bool fail_read = false;
  bool fail_drain = false;
  // Bytes the device has sent; a read takes what it asks for, or all there is (a short read).
  std::string incoming;
  // The device's answers: each write appends the next one to `incoming`.
  std::deque<std::string> replies;
  int fail_write_on_piece = 0;   // 1-based WriteBytes call that fails; 0 = never
  int short_write_on_piece = 0;  // 1-based WriteBytes call that writes one byte less
  // Results for successive WaitForLock calls before the real lock is consulted.
  std::deque<WaitResult> scripted_waits;

  // --- Record -------------------------------------------------------------------------------
  std::vector<std::string> calls;          // one entry per platform call, e.g. "WriteBytes 256"
  std::vector<std::uint32_t> write_sizes;  // sizes handed to WriteBytes
  std::string written;                     // bytes that went out
  DCB state;                               // line state in force
  COMMTIMEOUTS timeouts;                   // time-outs in force
  int lock_waits = 0;                      // WaitForLock calls that timed out
  std::string opened_name;

  int CountCalls(const std::string& prefix) const;
  // Index of the first call starting with `prefix`, or -1.
  int IndexOf(const std::string& prefix) const;

  // --- SerialApi ----------------------------------------------------------------------------
  SysResult OpenPort(const char* name, PortHandle& port) override;
  SysResult SetupQueues(PortHandle port, std::uint32_t input_bytes,
                        std::uint32_t output_bytes) override;
  SysResult GetLineState(PortHandle port, DCB& out) override;
  SysResult SetLineState(PortHandle port, const DCB& in) override;
  SysResult GetTimeouts(PortHandle port, COMMTIMEOUTS& out) override;
  SysResult SetTimeouts(PortHandle port, const COMMTIMEOUTS& in) override;
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
  WaitResult WaitForLock(MutexHandle lock, std::uint32_t milliseconds) override;

  static constexpr PortHandle kHandle = 7;

 private:
  SysResult Record(const std::string& call, PortHandle port);
  // Record, and then the script's failure if `scripted_failure`.
  SysResult RecordOrFail(const std::string& call, PortHandle port, bool scripted_failure);
  SysResult Failed() const;

  VirtualClock& clock_;
  bool open_ = false;
  int set_state_calls_ = 0;
  int set_timeouts_calls_ = 0;
  int write_calls_ = 0;
};

}  // namespace tovrel::testing
