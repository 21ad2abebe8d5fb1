#include "serial/posix/posix_serial_api.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <utility>

#include "serial/posix/open_failure_reason.h"
#include "serial/posix/output_queue_wait.h"
#include "serial/posix/termios_mapping.h"
#include "serial/posix/unique_fd.h"

namespace tovrel {
namespace {

using posix_serial::UniqueFd;
using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

// A hundred years: beyond any wait anyone means, and small enough that adding it to the clock
// cannot overflow.
constexpr std::uint64_t kFarthestMs = 100ull * 365 * 24 * 60 * 60 * 1000;

constexpr std::uint32_t kAllPurgeFlags =
    PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

TimePoint DeadlineAfter(TimePoint start, std::uint64_t milliseconds) {
  const auto bounded = static_cast<std::int64_t>(std::min(milliseconds, kFarthestMs));
  return start + std::chrono::milliseconds(bounded);
}

// Milliseconds for poll() to wait until `deadline`, rounded up so that it does not wake just
// before the deadline and spin; long waits are served in several polls.
int PollTimeoutMs(TimePoint now, TimePoint deadline) {
  if (deadline <= now) {
    return 0;
  }
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
  return static_cast<int>(std::min<std::int64_t>((micros + 999) / 1000, INT_MAX));
}

template <typename Call>
auto RetryOnInterrupt(Call call) {
  auto result = call();
  while (result == -1 && errno == EINTR) {
    result = call();
  }
  return result;
}

// A line state for a port just opened: open() raised DTR and RTS, and the data path is binary.
DCB InitialLineState() {
  DCB state;
  state.flags = kDcbBinary | (DTR_CONTROL_ENABLE << kDcbDtrControlShift) |
                (RTS_CONTROL_ENABLE << kDcbRtsControlShift);
  return state;
}

bool UsesFlowControl(const DCB& state) {
  return (state.flags & (kDcbOutxCtsFlow | kDcbOutX)) != 0 ||
         RtsControlOf(state.flags) == RTS_CONTROL_HANDSHAKE;
}

void SetModemLine(int fd, int line, bool on) {
  int bits = line;
  // Housekeeping: a pseudo-terminal has no modem lines and answers ENOTTY, which is harmless.
  static_cast<void>(::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits));
}

// Drives DTR and RTS as the control modes say. termios has no handshake on DTR and no RTS toggle;
// DTR handshaking keeps DTR up and RTS toggling keeps RTS down between writes. Under the RTS
// handshake RTS is raised and then left to the driver (CRTSCTS): switching CRTSCTS on does not
// raise a line that an earlier setting dropped, and a device that honours the handshake would
// never answer.
void ApplyModemLines(int fd, const DCB& state) {
  SetModemLine(fd, TIOCM_DTR, DtrControlOf(state.flags) != DTR_CONTROL_DISABLE);
  switch (RtsControlOf(state.flags)) {
    case RTS_CONTROL_ENABLE:
    case RTS_CONTROL_HANDSHAKE:
      SetModemLine(fd, TIOCM_RTS, true);
      break;
    default:
      SetModemLine(fd, TIOCM_RTS, false);
      break;
  }
}

// The driver's output queue of one terminal, on the real clock.
class TerminalOutputQueue final : public posix_serial::OutputQueue {
 public:
  explicit TerminalOutputQueue(int fd) : fd_(fd) {}
  bool Queued(std::uint32_t& bytes) override {
    int queued = 0;
    if (::ioctl(fd_, TIOCOUTQ, &queued) != 0) {
      return false;
    }
    bytes = queued > 0 ? static_cast<std::uint32_t>(queued) : 0u;
    return true;
  }
  std::uint64_t NowMicros() override { return MicrosOf(SteadyClock::now()); }
  void SleepMicros(std::uint64_t micros) override {
    std::this_thread::sleep_for(std::chrono::microseconds(micros));
  }
  static std::uint64_t MicrosOf(TimePoint at) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count());
  }

 private:
  int fd_;
};

// Waits until the driver's output queue is empty or `deadline` has come. A driver that cannot
// report its queue (a pseudo-terminal reports 0 or fails) is taken at its word.
posix_serial::QueueWaitResult WaitUntilSent(int fd, std::uint32_t baud_rate, TimePoint deadline) {
  TerminalOutputQueue queue(fd);
  return posix_serial::WaitForOutputToLeave(queue, baud_rate,
                                            TerminalOutputQueue::MicrosOf(deadline));
}

// The same, within the limit the write time-outs give for what is queued now.
posix_serial::QueueWaitResult WaitUntilSentWithinDrainLimit(int fd, const COMMTIMEOUTS& timeouts,
                                                            std::uint32_t baud_rate,
                                                            std::uint64_t cap_ms) {
  int queued = 0;
  if (::ioctl(fd, TIOCOUTQ, &queued) != 0) {
    return {posix_serial::QueueState::kUnknown, 0};
  }
  if (queued <= 0) {
    return {posix_serial::QueueState::kEmpty, 0};
  }
  const TimePoint deadline =
      DeadlineAfter(SteadyClock::now(),
                    DrainLimitMs(timeouts, static_cast<std::uint64_t>(queued), baud_rate, cap_ms));
  return WaitUntilSent(fd, baud_rate, deadline);
}

}  // namespace

struct PosixSerialApi::Port {
  explicit Port(UniqueFd descriptor) : fd(std::move(descriptor)) {}

  const UniqueFd fd;
  // Guards the members below and keeps two settings changes from interleaving.
  std::mutex mutex;
  // The line state last applied: the source of every member termios cannot hold.
  DCB line_state;
  COMMTIMEOUTS timeouts;
  // Kept for reference only: the terminal driver sizes its own queues.
  std::uint32_t input_queue_bytes = 0;
  std::uint32_t output_queue_bytes = 0;
  // True after a write whose bytes all left: a drain then has nothing to wait for.
  bool output_settled = true;
};

PosixSerialApi::PosixSerialApi() : PosixSerialApi(PosixSerialOptions{}) {}

PosixSerialApi::PosixSerialApi(const PosixSerialOptions& options) : options_(options) {}

PosixSerialApi::~PosixSerialApi() {
  std::map<PortHandle, std::shared_ptr<Port>> open_ports;
  {
    std::lock_guard<std::mutex> guard(ports_mutex_);
    open_ports.swap(ports_);
  }
  for (auto& entry : open_ports) {
    Release(*entry.second);
  }
}

std::shared_ptr<PosixSerialApi::Port> PosixSerialApi::Find(PortHandle port) {
  std::lock_guard<std::mutex> guard(ports_mutex_);
  const auto found = ports_.find(port);
  return found == ports_.end() ? nullptr : found->second;
}

SysResult PosixSerialApi::Fail(int error_number) {
  return SysResult::Failed(static_cast<std::uint32_t>(error_number));
}

std::string PosixSerialApi::ErrorText(std::uint32_t number) {
  return posix_serial::SystemErrorText(static_cast<int>(number));
}

std::string PosixSerialApi::OpenFailureReason(const char* name, std::uint32_t number) {
  const int error_number = static_cast<int>(number);
  const bool busy = error_number == EBUSY || error_number == EWOULDBLOCK || error_number == EAGAIN;
  return posix_serial::OpenFailureReason(error_number, busy ? posix_serial::LockHolderOf(name) : 0);
}

SysResult PosixSerialApi::OpenPort(const char* name, PortHandle& handle) {
  handle = INVALID_HANDLE_VALUE;
  if (name == nullptr) {
    return Fail(ENOENT);
  }
  // O_NONBLOCK: a port waiting for carrier must not block the open, and every later wait is a
  // poll() against a deadline. O_NOCTTY: the port must never become our controlling terminal.
  UniqueFd fd(
      RetryOnInterrupt([&] { return ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }));
  Trace& trace = options_.trace != nullptr ? *options_.trace : NoTrace();
  if (!fd.Valid()) {
    const int error_number = errno;
    trace.Line("posix: open(O_RDWR | O_NOCTTY | O_NONBLOCK) failed, errno %d", error_number);
    return Fail(error_number);
  }
  if (::isatty(fd.Get()) != 1) {
    trace.Line("posix: not a terminal");
    return Fail(ENOTTY);
  }
  // The terminal's exclusive mode does not stop root; an advisory lock does, for every program
  // that takes it as well.
  if (RetryOnInterrupt([&] { return ::flock(fd.Get(), LOCK_EX | LOCK_NB); }) != 0) {
    const int error_number = errno;
    trace.Line("posix: flock(LOCK_EX) failed, errno %d", error_number);
    return Fail(error_number);
  }
  if (::ioctl(fd.Get(), TIOCEXCL) != 0) {
    const int error_number = errno;
    trace.Line("posix: TIOCEXCL failed, errno %d", error_number);
    return Fail(error_number);
  }
  trace.Line("posix: flock(LOCK_EX) and TIOCEXCL taken");
  auto give_up = [&](int error_number) {
    static_cast<void>(::ioctl(fd.Get(), TIOCNXCL));
    return Fail(error_number);
  };

  termios settings{};
  if (::tcgetattr(fd.Get(), &settings) != 0) {
    return give_up(errno);
  }
  posix_serial::MakeRaw(settings);
  if (RetryOnInterrupt([&] { return ::tcsetattr(fd.Get(), TCSANOW, &settings); }) != 0) {
    return give_up(errno);
  }
  termios actual{};
  if (::tcgetattr(fd.Get(), &actual) != 0) {
    return give_up(errno);
  }

  auto port = std::make_shared<Port>(std::move(fd));
  port->line_state = posix_serial::LineStateFromTermios(actual, InitialLineState());
  std::lock_guard<std::mutex> guard(ports_mutex_);
  handle = next_handle_++;
  ports_.emplace(handle, std::move(port));
  return SysResult::Ok();
}

SysResult PosixSerialApi::SetupQueues(PortHandle port, std::uint32_t input_bytes,
                                      std::uint32_t output_bytes) {
  const auto found = Find(port);
  if (!found) {
    return Fail(EBADF);
  }
  std::lock_guard<std::mutex> guard(found->mutex);
  found->input_queue_bytes = input_bytes;
  found->output_queue_bytes = output_bytes;
  return SysResult::Ok();
}

SysResult PosixSerialApi::GetLineState(PortHandle port, DCB& state) {
  const auto found = Find(port);
  if (!found) {
    return Fail(EBADF);
  }
  std::lock_guard<std::mutex> guard(found->mutex);
  termios settings{};
  if (::tcgetattr(found->fd.Get(), &settings) != 0) {
    return Fail(errno);
  }
  state = posix_serial::LineStateFromTermios(settings, found->line_state);
  return SysResult::Ok();
}

SysResult PosixSerialApi::SetLineState(PortHandle port, const DCB& state) {
  const auto found = Find(port);
  if (!found) {
    return Fail(EBADF);
  }
  const int fd = found->fd.Get();
  std::lock_guard<std::mutex> guard(found->mutex);
  termios previous{};
  if (::tcgetattr(fd, &previous) != 0) {
    return Fail(errno);
  }
  termios wanted = previous;
  if (const int error_number = posix_serial::ApplyLineState(state, wanted); error_number != 0) {
    return Fail(error_number);
  }
  if (RetryOnInterrupt([&] { return ::tcsetattr(fd, TCSANOW, &wanted); }) != 0) {
    return Fail(errno);
  }
  // tcsetattr() succeeds when any part was taken; a driver that cannot do a speed or a frame
  // adjusts it silently (a pseudo-terminal always keeps 8 bits without parity). Refuse such a
  // state as Win32 drivers do, and put the previous settings back.
  termios actual{};
  if (::tcgetattr(fd, &actual) != 0) {
    return Fail(errno);
  }
  if (!posix_serial::SameLineSettings(wanted, actual)) {
    static_cast<void>(RetryOnInterrupt([&] { return ::tcsetattr(fd, TCSANOW, &previous); }));
    return Fail(EINVAL);
  }
  found->line_state = state;
  ApplyModemLines(fd, state);
  return SysResult::Ok();
}

SysResult PosixSerialApi::GetTimeouts(PortHandle port, COMMTIMEOUTS& timeouts) {
  const auto found = Find(port);
  if (!found) {
    return Fail(EBADF);
  }
  std::lock_guard<std::mutex> guard(found->mutex);
  timeouts = found->timeouts;
  return SysResult::Ok();
}

SysResult PosixSerialApi::SetTimeouts(PortHandle port, const COMMTIMEOUTS& timeouts) {
  const auto found = Find(port);
  if (!found) {
    return Fail(EBADF);
  }
  // All three read members all ones is the one combination Win32 drivers refuse.
  if (timeouts.ReadIntervalTimeout == kMaxDword &&
      timeouts.ReadTotalTimeoutMultiplier == kMaxDword &&
      timeouts.ReadTotalTimeoutConstant == kMaxDword) {
    return Fail(EINVAL);
  }
  std::lock_guard<std::mutex> guard(found->mutex);
  found->timeouts = timeouts;
  return SysResult::Ok();
}

SysResult PosixSerialApi::GetModemStatus(PortHandle port, std::uint32_t& status) {
  const auto found = Find(port);
  if (!found) {
    return Fail(EBADF);
  }
  int lines = 0;
  if (::ioctl(found->fd.Get(), TIOCMGET, &lines) != 0) {
    return Fail(errno);
  }
  status =
      ((lines & TIOCM_CTS) != 0 ? MS_CTS_ON : 0u) | ((lines & TIOCM_DSR) != 0 ? MS_DSR_ON : 0u) |
      ((lines & TIOCM_RI) != 0 ? MS_RING_ON : 0u) | ((lines & TIOCM_CD) != 0 ? MS_RLSD_ON : 0u);
  return SysResult::Ok();
}

SysResult PosixSerialApi::ClearDtr(PortHandle port) {
  const auto found = Find(port);
  if (!found) {
    return Fail(EBADF);
  }
  int bits = TIOCM_DTR;
  if (::ioctl(found->fd.Get(), TIOCMBIC, &bits) != 0) {
    return Fail(errno);
  }
  return SysResult::Ok();
}

SysResult PosixSerialApi::Purge(PortHandle port, std::uint32_t flags) {
  const auto found = Find(port);
  if (!found) {
    return Fail(EBADF);
  }
  if ((flags & ~kAllPurgeFlags) != 0) {
    return Fail(EINVAL);
  }
  const bool input = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
  const bool output = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
  if (!input && !output) {
    return SysResult::Ok();
  }
  const int queue = input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
  if (::tcflush(found->fd.Get(), queue) != 0) {
    return Fail(errno);
  }
  return SysResult::Ok();
}

SysResult PosixSerialApi::ClearErrors(PortHandle port) {
  // The terminal driver keeps no error state that blocks further transfers.
  return Find(port) ? SysResult::Ok() : Fail(EBADF);
}

SysResult PosixSerialApi::ReadBytes(PortHandle port, std::uint8_t* buffer, std::uint32_t count,
                                    std::uint32_t& bytes_read) {
  bytes_read = 0;
  const auto found = Find(port);
  if (!found) {
    return Fail(EBADF);
  }
  if (count == 0) {
    return SysResult::Ok();
  }
  if (buffer == nullptr) {
    return Fail(EFAULT);
  }
  COMMTIMEOUTS timeouts;
  bool drop_nul = false;
  {
    std::lock_guard<std::mutex> guard(found->mutex);
    timeouts = found->timeouts;
    drop_nul = (found->line_state.flags & kDcbNull) != 0;
  }
  const ReadPlan plan = PlanRead(timeouts, count, options_.unlimited_wait_cap_ms);
  const int fd = found->fd.Get();
  const TimePoint total_deadline = DeadlineAfter(SteadyClock::now(), plan.total_ms);
  TimePoint last_byte{};
  std::size_t got = 0;
  bool hung_up = false;
  int error = 0;  // what ended the read, when something went wrong

  for (;;) {
    const ssize_t n = ::read(fd, buffer + got, count - got);
    bool nothing_waiting = false;
    if (n > 0) {
      const auto length = static_cast<std::size_t>(n);
      // NUL bytes neither count toward the length nor restart the interval clock.
      const std::size_t kept = drop_nul ? DropNulBytes(buffer + got, length) : length;
      got += kept;
      if (kept > 0) {
        last_byte = SteadyClock::now();
      }
    } else if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
      nothing_waiting = true;
    } else if (errno == EINTR) {
      continue;
    } else {
      error = errno;
      break;
    }
    if (nothing_waiting && hung_up) {
      // The other end is gone (a pseudo-terminal's master closed, a USB adapter unplugged).
      error = EIO;
      break;
    }
    if (got == count || (nothing_waiting && plan.mode == ReadMode::kReturnAtOnce) ||
        (nothing_waiting && got > 0 && plan.mode == ReadMode::kUntilFirstByte)) {
      break;
    }

    const TimePoint now = SteadyClock::now();
    TimePoint deadline = total_deadline;
    if (plan.interval_ms != 0 && got > 0) {
      deadline = std::min(deadline, DeadlineAfter(last_byte, plan.interval_ms));
    }
    if (now >= deadline) {
      break;
    }
    if (!nothing_waiting) {
      continue;  // more may have arrived already
    }
    int wait_ms = PollTimeoutMs(now, deadline);
    if (options_.interruption != nullptr) {
      if (options_.interruption->Requested()) {
        error = EINTR;
        break;
      }
      wait_ms = std::min(wait_ms, static_cast<int>(kInterruptionLookMs));
    }
    pollfd wait{fd, POLLIN, 0};
    const int ready = ::poll(&wait, 1, wait_ms);
    if (ready < 0 && errno != EINTR) {
      error = errno;
      break;
    }
    if (ready > 0 && (wait.revents & POLLNVAL) != 0) {
      error = EBADF;
      break;
    }
    hung_up = ready > 0 && (wait.revents & (POLLHUP | POLLERR)) != 0;
  }
  bytes_read = static_cast<std::uint32_t>(got);
  return error == 0 ? SysResult::Ok() : Fail(error);
}

SysResult PosixSerialApi::WriteBytes(PortHandle port, const std::uint8_t* bytes,
                                     std::uint32_t count, std::uint32_t& bytes_written) {
  bytes_written = 0;
  const auto found = Find(port);
  if (!found) {
    return Fail(EBADF);
  }
  if (count == 0) {
    return SysResult::Ok();
  }
  if (bytes == nullptr) {
    return Fail(EFAULT);
  }
  COMMTIMEOUTS timeouts;
  DCB state;
  {
    std::lock_guard<std::mutex> guard(found->mutex);
    timeouts = found->timeouts;
    state = found->line_state;
    found->output_settled = false;
  }
  const int fd = found->fd.Get();
  const TimePoint deadline = DeadlineAfter(
      SteadyClock::now(), WriteLimitMs(timeouts, count, options_.unlimited_wait_cap_ms));
  std::size_t done = 0;

  while (done < count) {
    const ssize_t n = ::write(fd, bytes + done, count - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      bytes_written = static_cast<std::uint32_t>(done);
      return Fail(errno);
    }
    // The driver's queue is full (output held by flow control, or a slow line): wait for room.
    const TimePoint now = SteadyClock::now();
    if (now >= deadline) {
      break;
    }
    pollfd wait{fd, POLLOUT, 0};
    const int ready = ::poll(&wait, 1, PollTimeoutMs(now, deadline));
    if (ready < 0 && errno != EINTR) {
      bytes_written = static_cast<std::uint32_t>(done);
      return Fail(errno);
    }
    if (ready > 0 && (wait.revents & (POLLOUT | POLLNVAL)) == POLLNVAL) {
      bytes_written = static_cast<std::uint32_t>(done);
      return Fail(EBADF);
    }
    if (ready > 0 && (wait.revents & POLLOUT) == 0 && (wait.revents & (POLLHUP | POLLERR)) != 0) {
      bytes_written = static_cast<std::uint32_t>(done);
      return Fail(EIO);
    }
  }
  // Like a Win32 write, return once the bytes have left the port, so that the caller's next
  // look at CTS sees the device after these bytes, and the count is what the device got. What
  // is still queued when the time-out runs out is not sent at all.
  const posix_serial::QueueWaitResult sent = WaitUntilSent(fd, state.BaudRate, deadline);
  if (sent.state == posix_serial::QueueState::kStuck) {
    static_cast<void>(::tcflush(fd, TCOFLUSH));
    done -= std::min<std::size_t>(done, sent.left);
  } else if (sent.state == posix_serial::QueueState::kEmpty && done == count) {
    // The queue is empty, so tcdrain() only waits for the transmitter's last bytes; under flow
    // control it is left out all the same, because some drivers wait there without a limit.
    if (!UsesFlowControl(state)) {
      static_cast<void>(::tcdrain(fd));
    }
    std::lock_guard<std::mutex> guard(found->mutex);
    found->output_settled = true;
  }
  bytes_written = static_cast<std::uint32_t>(done);
  return SysResult::Ok();
}

SysResult PosixSerialApi::Drain(PortHandle port) {
  const auto found = Find(port);
  if (!found) {
    return Fail(EBADF);
  }
  COMMTIMEOUTS timeouts;
  DCB state;
  {
    std::lock_guard<std::mutex> guard(found->mutex);
    if (found->output_settled) {
      return SysResult::Ok();  // the last write waited for its bytes to leave
    }
    timeouts = found->timeouts;
    state = found->line_state;
  }
  const int fd = found->fd.Get();
  switch (
      WaitUntilSentWithinDrainLimit(fd, timeouts, state.BaudRate, options_.unlimited_wait_cap_ms)
          .state) {
    case posix_serial::QueueState::kStuck:
      return Fail(ETIMEDOUT);
    case posix_serial::QueueState::kUnknown:
      return SysResult::Ok();
    case posix_serial::QueueState::kEmpty:
      break;
  }
  // The queue is empty; tcdrain() now only waits for the transmitter to shift out its last
  // bytes. Under flow control it could wait for ever on a stopped line, so it is left out there.
  if (!UsesFlowControl(state)) {
    static_cast<void>(::tcdrain(fd));
  }
  return SysResult::Ok();
}

void PosixSerialApi::Release(Port& port) {
  COMMTIMEOUTS timeouts;
  std::uint32_t baud_rate = 0;
  {
    std::lock_guard<std::mutex> guard(port.mutex);
    timeouts = port.timeouts;
    baud_rate = port.line_state.BaudRate;
  }
  const int fd = port.fd.Get();
  // close() itself waits for queued output as long as the driver is configured to (possibly
  // without limit); give the bytes a bounded chance instead and discard what is stuck.
  if (WaitUntilSentWithinDrainLimit(fd, timeouts, baud_rate, options_.unlimited_wait_cap_ms)
          .state == posix_serial::QueueState::kStuck) {
    static_cast<void>(::tcflush(fd, TCOFLUSH));
  }
  // The exclusive mode outlives this descriptor while another one is open on the terminal.
  static_cast<void>(::ioctl(fd, TIOCNXCL));
  static_cast<void>(::flock(fd, LOCK_UN));
}

SysResult PosixSerialApi::ClosePort(PortHandle port) {
  std::shared_ptr<Port> closing;
  {
    std::lock_guard<std::mutex> guard(ports_mutex_);
    const auto found = ports_.find(port);
    if (found != ports_.end()) {
      closing = std::move(found->second);
      ports_.erase(found);
    }
  }
  if (!closing) {
    return Fail(EBADF);
  }
  Release(*closing);
  return SysResult::Ok();  // the descriptor closes with the last reference, here unless a call is
                           // running
}

}  // namespace tovrel
