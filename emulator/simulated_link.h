// The host's serial platform wired to one emulated device through a modelled line. Every call
// first brings the line and the device up to the clock's present; a call that has to wait does
// so through the clock, straight to the next thing that can change its outcome, and never past
// its time-out. The same code thus runs instantly on a VirtualClock and in real time on a
// SystemClock. Single-threaded: one host thread drives everything.
//
// Line model, as the host sees it:
// - each byte takes ByteTimeMicros(speed) at its sender's speed; a byte whose sender's speed or
//   frame differs from the receiver's arrives as kGarbledByte;
// - with fOutxCtsFlow the next byte starts only while the device's CTS is on (a byte under way
//   finishes);
// - received NULs are dropped when the host's line state has fNull, at arrival;
// - the device sends only while the host's RTS is on: RTS_CONTROL_ENABLE, or the handshake with
//   room in the input queue, and never while the port is closed (a byte under way finishes);
// - WriteBytes returns once its bytes have left the line (LinkConfig::write_completion
//   kWhenSent), or when at most LinkConfig::host_tx_buffer_bytes are still unsent
//   (kWhenBuffered); short when its write time-out (multiplier * count + constant) runs out, the
//   bytes beyond the buffer that have not started being dropped; with both write time-outs 0 it
//   returns short as soon as nothing could ever move the bytes on (CTS stuck off);
// - ReadBytes follows the Win32 read time-outs: total = multiplier * count + constant from the
//   call, the interval time-out between arrivals once one byte has come, MAXDWORD interval with
//   zero multiplier and constant returns at once with what is there, MAXDWORD interval and
//   multiplier with a constant returns as soon as anything is there. Where Win32 would wait for
//   ever, it returns short as soon as nothing more can arrive. With an interruption attached a
//   read looks at it at least every kInterruptionLookMs and, once a stop is requested, fails
//   with kSimErrorOperationAborted, keeping what arrived, as a cancelled ReadFile does;
// - Drain waits for every byte to leave the line, for at most multiplier * pending + constant
//   (then it fails with kSimErrorTimeout), or until nothing could move the bytes on.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "emulator/emulated_device.h"
#include "emulator/host_faults.h"
#include "emulator/simulated_line.h"
#include "serial/interruption.h"
#include "serial/portable_locks.h"

namespace tovrel {

class SimulatedLink final : public SerialApiWithPortableLocks {
 public:
  SimulatedLink(Clock& clock, EmulatedDevice& device, LinkConfig config = {},
                HostFaults faults = {});

  // ---- SerialApi ----
  // Any name opens (it is recorded); a second open while open fails with kSimErrorAccessDenied.
  // A fresh open starts from the driver's defaults: 9600 baud 8N1, fBinary, DTR and RTS on, no
  // flow control, all time-outs 0, empty queues.
  SysResult OpenPort(const char* name, PortHandle& port) override;
  SysResult SetupQueues(PortHandle port, std::uint32_t input_bytes,
                        std::uint32_t output_bytes) override;
  SysResult GetLineState(PortHandle port, DCB& state) override;
  // Rejects a BaudRate of 0, a ByteSize outside 5 to 8, a Parity above 4 or StopBits above 2
  // (kSimErrorInvalidParameter). The new speed and frame apply to bytes started afterwards.
  SysResult SetLineState(PortHandle port, const DCB& state) override;
  SysResult GetTimeouts(PortHandle port, COMMTIMEOUTS& timeouts) override;
  SysResult SetTimeouts(PortHandle port, const COMMTIMEOUTS& timeouts) override;
  // MS_CTS_ON while the device holds CTS on; no other bit is ever set.
  SysResult GetModemStatus(PortHandle port, std::uint32_t& status) override;
  SysResult ClearDtr(PortHandle port) override;
  SysResult Purge(PortHandle port, std::uint32_t flags) override;
  SysResult ClearErrors(PortHandle port) override;
  SysResult ReadBytes(PortHandle port, std::uint8_t* buffer, std::uint32_t count,
                      std::uint32_t& bytes_read) override;
  SysResult WriteBytes(PortHandle port, const std::uint8_t* bytes, std::uint32_t count,
                       std::uint32_t& bytes_written) override;
  SysResult Drain(PortHandle port) override;
  // Discards unsent output and unread input and drops DTR.
  SysResult ClosePort(PortHandle port) override;
  // Numbered as the Win32 API numbers its errors.
  std::string OpenFailureReason(const char* name, std::uint32_t number) override;

  // Reads give up once `stop` is requested.
  void SetInterruption(Interruption& stop) { stop_ = &stop; }

  // ---- For tests ----

  // Brings the line and the device up to the clock's present.
  void Sync() { line_.AdvanceTo(clock_.Now()); }

  EmulatedDevice& Device() { return device_; }
  // Faults may be changed at any time; call counts are kept from the link's creation.
  HostFaults& Faults() { return faults_; }

  // Every platform call, in order.
  const std::vector<HostCall>& Calls() const { return calls_; }
  std::uint32_t CallCount(HostOp op) const { return call_counts_[static_cast<std::size_t>(op)]; }
  // The flags of each Purge call, in order.
  std::vector<std::uint32_t> PurgeFlags() const;

  bool IsOpen() const { return open_; }
  // Names passed to OpenPort, in order, including opens that failed.
  const std::vector<std::string>& OpenedNames() const { return opened_names_; }
  // The handle of the port while it is open.
  PortHandle OpenHandle() const { return open_ ? handle_ : INVALID_HANDLE_VALUE; }
  bool DtrOn() const { return dtr_on_; }
  const DCB& HostLineState() const { return line_state_; }
  const COMMTIMEOUTS& HostTimeouts() const { return timeouts_; }
  std::uint32_t InputQueueBytes() const { return input_queue_bytes_; }
  std::uint32_t OutputQueueBytes() const { return output_queue_bytes_; }

  // The modelled line itself, for whoever wants to know when it next changes.
  const SimulatedLine& Line() const { return line_; }

  // Bytes waiting in the host's queues.
  std::size_t PendingInput() const { return line_.AvailableInput(); }
  std::size_t PendingOutput() const { return line_.PendingOutput(); }
  // Received bytes the host got as kGarbledByte, NULs it discarded, bytes lost to a full input
  // queue or a closed port.
  std::uint32_t GarbledInput() const { return line_.GarbledInput(); }
  std::uint32_t DiscardedNuls() const { return line_.DiscardedNuls(); }
  std::uint32_t LostInput() const { return line_.LostInput(); }

 private:
  // The shape of most calls: admitted, the line brought up to the present, then `body` does the
  // call's work and returns the result to record.
  template <typename Body>
  SysResult Serve(HostOp op, PortHandle port, std::uint32_t fails_from_call, std::uint32_t argument,
                  Body body);
  // Counts the call; false (error set) when `port` is not the open port or the fault fires.
  bool Admit(HostOp op, PortHandle port, std::uint32_t fails_from_call);
  // Waits until at most `left` written bytes have not yet completely left the line; false when
  // `deadline` comes first or nothing could ever move them on.
  bool AwaitOutput(std::size_t left, std::optional<Clock::Micros> deadline);
  // Records the call; a failure carries the error number the call left.
  SysResult Finish(HostOp op, Clock::Micros at, std::uint32_t argument, std::uint32_t result,
                   bool ok);
  SysResult Fail(HostOp op, Clock::Micros at, std::uint32_t argument, std::uint32_t error);
  // Sleeps until `wake` (or at least a microsecond) and catches up with the clock.
  void SleepUntil(Clock::Micros wake);

  Clock& clock_;
  EmulatedDevice& device_;
  LinkConfig config_;
  HostFaults faults_;
  SimulatedLine line_;
  Interruption* stop_ = nullptr;

  bool open_ = false;
  PortHandle handle_ = INVALID_HANDLE_VALUE;
  PortHandle next_handle_ = 0x5100;
  std::vector<std::string> opened_names_;
  DCB line_state_;
  COMMTIMEOUTS timeouts_;
  bool dtr_on_ = false;
  std::uint32_t input_queue_bytes_ = 0;
  std::uint32_t output_queue_bytes_ = 0;

  std::uint32_t last_error_ = 0;
  std::array<std::uint32_t, kHostOpCount> call_counts_{};
  std::vector<HostCall> calls_;
};

}  // namespace tovrel
