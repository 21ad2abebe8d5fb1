#include "emulator/simulated_link.h"

#include <algorithm>
#include <optional>

#include "serial/comm_port.h"
#include "serial/timeout_rules.h"
#include "serial/win32_open_failure_reason.h"

namespace tovrel {
namespace {

constexpr Clock::Micros kMicrosPerMs = 1000;
constexpr Clock::Micros kNever = ~Clock::Micros{0};

// The line state a freshly opened port reports before anyone configures it.
DCB DriverDefaultLineState() {
  DCB state;
  state.BaudRate = 9600;
  state.flags = kDcbBinary | (DTR_CONTROL_ENABLE << kDcbDtrControlShift) |
                (RTS_CONTROL_ENABLE << kDcbRtsControlShift);
  state.ByteSize = 8;
  state.Parity = NOPARITY;
  state.StopBits = ONESTOPBIT;
  state.XonLim = 2048;
  state.XoffLim = 512;
  state.XonChar = 0x11;
  state.XoffChar = 0x13;
  return state;
}

// start + (multiplier * count + constant) milliseconds; nullopt when multiplier and constant are
// both 0, which means no time-out. A time-out too long for the clock to count is no limit at all
// rather than a wrapped-around, too early one.
std::optional<Clock::Micros> Deadline(Clock::Micros start, std::uint32_t multiplier,
                                      std::uint64_t count, std::uint32_t constant) {
  if ((multiplier == 0 && constant == 0) ||
      (count != 0 && multiplier > (kNever - constant) / count)) {
    return std::nullopt;
  }
  const Clock::Micros ms = Clock::Micros{multiplier} * count + constant;
  if (ms > (kNever - start) / kMicrosPerMs) {
    return std::nullopt;
  }
  return start + ms * kMicrosPerMs;
}

}  // namespace

LinkConfig EmulatedPortLinkConfig() {
  LinkConfig config;
  config.write_completion = WriteCompletion::kWhenSent;
  config.host_tx_buffer_bytes = CommPort::kOutputQueueBytes;
  return config;
}

SimulatedLink::SimulatedLink(Clock& clock, EmulatedDevice& device, LinkConfig config,
                             HostFaults faults)
    : clock_(clock), device_(device), config_(config), faults_(faults), line_(device, clock.Now()) {
  line_.SetHostReceiving(false);
}

void SimulatedLink::SleepUntil(Clock::Micros wake) {
  const Clock::Micros now = line_.Now();
  clock_.SleepFor(wake > now ? wake - now : 1u);
  Sync();
}

std::vector<std::uint32_t> SimulatedLink::PurgeFlags() const {
  std::vector<std::uint32_t> flags;
  for (const HostCall& call : calls_) {
    if (call.op == HostOp::kPurge) {
      flags.push_back(call.argument);
    }
  }
  return flags;
}

SysResult SimulatedLink::Finish(HostOp op, Clock::Micros at, std::uint32_t argument,
                                std::uint32_t result, bool ok) {
  if (config_.record_calls) {
    calls_.push_back(HostCall{op, at, argument, result, ok});
  }
  return ok ? SysResult::Ok() : SysResult::Failed(last_error_);
}

SysResult SimulatedLink::Fail(HostOp op, Clock::Micros at, std::uint32_t argument,
                              std::uint32_t error) {
  last_error_ = error;
  return Finish(op, at, argument, 0, false);
}

template <typename Body>
SysResult SimulatedLink::Serve(HostOp op, PortHandle port, std::uint32_t fails_from_call,
                               std::uint32_t argument, Body body) {
  const Clock::Micros at = clock_.Now();
  if (!Admit(op, port, fails_from_call)) {
    return Finish(op, at, argument, 0, false);
  }
  Sync();
  const std::uint32_t result = body();
  return Finish(op, at, argument, result, true);
}

bool SimulatedLink::AwaitOutput(std::size_t left, std::optional<Clock::Micros> deadline) {
  while (line_.PendingOutput() > left) {
    const std::optional<Clock::Micros> wake = Earliest(line_.NextEventTime(), deadline);
    if (!wake || line_.Now() >= deadline.value_or(kNever)) {
      return false;
    }
    SleepUntil(*wake);
  }
  return true;
}

bool SimulatedLink::Admit(HostOp op, PortHandle port, std::uint32_t fails_from_call) {
  const std::uint32_t nth = ++call_counts_[static_cast<std::size_t>(op)];
  if (!open_ || port != handle_) {
    last_error_ = kSimErrorInvalidHandle;
    return false;
  }
  if (fails_from_call != 0 && nth >= fails_from_call) {
    last_error_ = faults_.error_number;
    return false;
  }
  return true;
}

SysResult SimulatedLink::OpenPort(const char* name, PortHandle& port) {
  port = INVALID_HANDLE_VALUE;
  ++call_counts_[static_cast<std::size_t>(HostOp::kOpenPort)];
  Sync();
  const Clock::Micros at = line_.Now();
  opened_names_.emplace_back(name != nullptr ? name : "");
  if (open_) {
    return Fail(HostOp::kOpenPort, at, 0, kSimErrorAccessDenied);
  }
  if (faults_.open_fails || at < faults_.open_fails_until || name == nullptr) {
    return Fail(HostOp::kOpenPort, at, 0,
                name == nullptr ? kSimErrorFileNotFound : faults_.open_error_number);
  }
  open_ = true;
  handle_ = next_handle_++;
  line_state_ = DriverDefaultLineState();
  timeouts_ = COMMTIMEOUTS{};
  dtr_on_ = true;
  input_queue_bytes_ = config_.default_input_queue_bytes;
  output_queue_bytes_ = 0;
  line_.ClearInput();
  line_.ClearOutput();
  line_.SetInputCapacity(input_queue_bytes_);
  line_.SetHostState(line_state_);
  line_.SetHostReceiving(true);
  port = handle_;
  return Finish(HostOp::kOpenPort, at, 0, 0, true);
}

SysResult SimulatedLink::SetupQueues(PortHandle port, std::uint32_t input_bytes,
                                     std::uint32_t output_bytes) {
  return Serve(HostOp::kSetupQueues, port, 0, input_bytes, [&] {
    input_queue_bytes_ = input_bytes;
    output_queue_bytes_ = output_bytes;
    line_.SetInputCapacity(input_bytes);
    return 0u;
  });
}

SysResult SimulatedLink::GetLineState(PortHandle port, DCB& state) {
  return Serve(HostOp::kGetLineState, port, faults_.get_line_state_fails_from_call, 0, [&] {
    state = line_state_;
    return 0u;
  });
}

SysResult SimulatedLink::SetLineState(PortHandle port, const DCB& state) {
  const Clock::Micros at = clock_.Now();
  if (!Admit(HostOp::kSetLineState, port, faults_.set_line_state_fails_from_call)) {
    return Finish(HostOp::kSetLineState, at, state.BaudRate, 0, false);
  }
  if (state.BaudRate == 0 || state.ByteSize < 5 || state.ByteSize > 8 || state.Parity > 4 ||
      state.StopBits > 2) {
    return Fail(HostOp::kSetLineState, at, state.BaudRate, kSimErrorInvalidParameter);
  }
  Sync();
  line_state_ = state;
  line_.SetHostState(line_state_);
  return Finish(HostOp::kSetLineState, at, state.BaudRate, 0, true);
}

SysResult SimulatedLink::GetTimeouts(PortHandle port, COMMTIMEOUTS& timeouts) {
  return Serve(HostOp::kGetTimeouts, port, faults_.get_timeouts_fails_from_call, 0, [&] {
    timeouts = timeouts_;
    return 0u;
  });
}

SysResult SimulatedLink::SetTimeouts(PortHandle port, const COMMTIMEOUTS& timeouts) {
  return Serve(HostOp::kSetTimeouts, port, faults_.set_timeouts_fails_from_call, 0, [&] {
    timeouts_ = timeouts;
    return 0u;
  });
}

SysResult SimulatedLink::GetModemStatus(PortHandle port, std::uint32_t& status) {
  return Serve(HostOp::kGetModemStatus, port, faults_.modem_status_fails_from_call, 0, [&] {
    status = device_.ClearToSend(line_.Now()) ? MS_CTS_ON : 0u;
    return status;
  });
}

SysResult SimulatedLink::ClearDtr(PortHandle port) {
  return Serve(HostOp::kClearDtr, port, 0, 0, [this] {
    dtr_on_ = false;
    return 0u;
  });
}

SysResult SimulatedLink::Purge(PortHandle port, std::uint32_t flags) {
  return Serve(HostOp::kPurge, port, 0, flags, [&] {
    // A byte already on its way cannot be called back; only queued ones are dropped.
    if ((flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0) {
      line_.ClearOutput();
    }
    if ((flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0) {
      line_.ClearInput();
    }
    return 0u;
  });
}

SysResult SimulatedLink::ClearErrors(PortHandle port) {
  return Serve(HostOp::kClearErrors, port, 0, 0, [] { return 0u; });
}

SysResult SimulatedLink::ReadBytes(PortHandle port, std::uint8_t* buffer, std::uint32_t count,
                                   std::uint32_t& bytes_read) {
  bytes_read = 0;
  const Clock::Micros at = clock_.Now();
  if (!Admit(HostOp::kReadBytes, port, faults_.read_fails_from_call)) {
    return Finish(HostOp::kReadBytes, at, count, 0, false);
  }
  if (buffer == nullptr && count != 0) {
    return Fail(HostOp::kReadBytes, at, count, kSimErrorInvalidParameter);
  }
  Sync();
  const Clock::Micros start = line_.Now();
  const COMMTIMEOUTS t = timeouts_;
  const bool return_at_once = t.ReadIntervalTimeout == kMaxDword &&
                              t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
  const bool return_on_any =
      t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
      t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword;
  const std::optional<Clock::Micros> total_deadline =
      return_on_any
          ? Deadline(start, 0, 0, t.ReadTotalTimeoutConstant)
          : Deadline(start, t.ReadTotalTimeoutMultiplier, count, t.ReadTotalTimeoutConstant);
  std::optional<Clock::Micros> interval;
  if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword) {
    interval = Clock::Micros{t.ReadIntervalTimeout} * kMicrosPerMs;
  }

  std::uint32_t got = 0;
  for (;;) {
    got += static_cast<std::uint32_t>(line_.TakeInput(buffer + got, count - got));
    if (got == count || return_at_once || (return_on_any && got > 0)) {
      break;
    }
    const Clock::Micros now = line_.Now();
    std::optional<Clock::Micros> wake = total_deadline;
    if (wake && now >= *wake) {
      break;
    }
    if (interval && got > 0) {
      const Clock::Micros gap_ends = std::max(line_.LastInputArrival(), start) + *interval;
      if (now >= gap_ends) {
        break;
      }
      wake = Earliest(wake, gap_ends);
    }
    wake = Earliest(wake, line_.NextEventTime());
    if (!wake) {
      break;  // nothing can arrive any more and no time-out would end the wait
    }
    if (stop_ != nullptr) {
      if (stop_->Requested()) {
        bytes_read = got;
        last_error_ = kSimErrorOperationAborted;
        return Finish(HostOp::kReadBytes, at, count, got, false);
      }
      wake = std::min(*wake, now + Clock::Micros{kInterruptionLookMs} * kMicrosPerMs);
    }
    SleepUntil(*wake);
  }
  bytes_read = got;
  return Finish(HostOp::kReadBytes, at, count, got, true);
}

SysResult SimulatedLink::WriteBytes(PortHandle port, const std::uint8_t* bytes, std::uint32_t count,
                                    std::uint32_t& bytes_written) {
  bytes_written = 0;
  const Clock::Micros at = clock_.Now();
  if (!Admit(HostOp::kWriteBytes, port, faults_.write_fails_from_call)) {
    return Finish(HostOp::kWriteBytes, at, count, 0, false);
  }
  if (bytes == nullptr && count != 0) {
    return Fail(HostOp::kWriteBytes, at, count, kSimErrorInvalidParameter);
  }
  Sync();
  const std::optional<Clock::Micros> deadline =
      Deadline(line_.Now(), timeouts_.WriteTotalTimeoutMultiplier, count,
               timeouts_.WriteTotalTimeoutConstant);
  line_.QueueHostOutput(bytes, count);
  const std::size_t buffer_bytes = config_.write_completion == WriteCompletion::kWhenSent
                                       ? std::size_t{0}
                                       : std::size_t{config_.host_tx_buffer_bytes};
  bytes_written = count;
  if (!AwaitOutput(buffer_bytes, deadline)) {
    // Out of time (or nothing could ever move the bytes on): what has not started and does not
    // fit the driver's buffer is not sent. A write that returns once sent gives up every byte
    // of it that has not started, so its count is what the device gets.
    const std::size_t excess = line_.PendingOutput() - buffer_bytes;
    const std::size_t dropped = line_.DropQueuedOutput(std::min<std::size_t>(excess, count));
    bytes_written = count - static_cast<std::uint32_t>(dropped);
  }
  return Finish(HostOp::kWriteBytes, at, count, bytes_written, true);
}

SysResult SimulatedLink::Drain(PortHandle port) {
  const Clock::Micros at = clock_.Now();
  if (!Admit(HostOp::kDrain, port, 0)) {
    return Finish(HostOp::kDrain, at, 0, 0, false);
  }
  Sync();
  const std::optional<Clock::Micros> deadline =
      Deadline(line_.Now(), timeouts_.WriteTotalTimeoutMultiplier, line_.PendingOutput(),
               timeouts_.WriteTotalTimeoutConstant);
  if (!AwaitOutput(0, deadline)) {
    return Fail(HostOp::kDrain, at, 0, kSimErrorTimeout);
  }
  return Finish(HostOp::kDrain, at, 0, 0, true);
}

SysResult SimulatedLink::ClosePort(PortHandle port) {
  return Serve(HostOp::kClosePort, port, 0, 0, [this] {
    line_.ClearOutput();
    line_.ClearInput();
    line_.SetHostReceiving(false);
    dtr_on_ = false;
    open_ = false;
    return 0u;
  });
}

std::string SimulatedLink::OpenFailureReason(const char* /*name*/, std::uint32_t number) {
  return Win32OpenFailureReason(number, ErrorText(number));
}

}  // namespace tovrel
