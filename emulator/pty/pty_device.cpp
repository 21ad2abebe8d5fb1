#include "emulator/pty/pty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace tovrel::pty {
namespace {

// The longest the device goes without looking at the terminal's settings and the server's
// lines, which change without anything to wake up for.
constexpr Clock::Micros kSettingsLookMicros = 5'000;
constexpr std::size_t kChunk = 4096;
// Device output kept here while the terminal takes no more; beyond it, it stays in the UART.
constexpr std::size_t kOutgoingLimit = 4096;

std::string SystemError(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

// The line state the UART plays for a port in `port`, on top of `state`.
DCB LineStateFor(const FarPortState& port, DCB state) {
  state.BaudRate = port.baud;
  state.ByteSize = static_cast<std::uint8_t>(port.data_bits);
  state.Parity = port.parity == 'E' ? EVENPARITY : port.parity == 'O' ? ODDPARITY : NOPARITY;
  state.StopBits = port.stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  std::uint32_t flags = state.flags & ~(kDcbOutxCtsFlow | kDcbOutX | kDcbInX | kDcbRtsControlMask |
                                        kDcbDtrControlMask);
  flags |= (port.rtscts ? kDcbOutxCtsFlow : 0u) | (port.ixon ? kDcbOutX : 0u) |
           (port.ixoff ? kDcbInX : 0u);
  flags |= (port.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE) << kDcbRtsControlShift;
  flags |= (port.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE) << kDcbDtrControlShift;
  state.flags = flags;
  return state;
}

}  // namespace

PtyDevice::PtyDevice(Clock& clock, const DeviceConfig& config, const DeviceFaults& faults)
    : source_(clock), clock_(clock), uart_(clock_, config, faults) {}

PtyDevice::~PtyDevice() {
  if (master_ >= 0) {
    ::close(master_);
  }
}

bool PtyDevice::Open(const std::string& modem_lines_path, std::string& error) {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  char name[128] = {};
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
      ::ptsname_r(master_, name, sizeof name) != 0) {
    error = SystemError("cannot make a pseudo-terminal");
    return false;
  }
  terminal_path_ = name;
  struct stat info;
  if (::stat(name, &info) != 0) {
    error = SystemError(name);
    return false;
  }
  lines_ = ModemLineMapping::Create(modem_lines_path, info.st_rdev);
  if (!lines_.IsMapped()) {
    error = SystemError(("cannot make the modem lines in " + modem_lines_path).c_str());
    return false;
  }
  ApplyPortSettings();
  ShowModemLines();
  return true;
}

std::uint32_t PtyDevice::HostLines() const {
  return lines_.IsMapped() ? lines_.Lines().host_lines.load() : 0u;
}

std::uint32_t PtyDevice::LineReads() const {
  return lines_.IsMapped() ? lines_.Lines().line_reads.load() : 0u;
}

FarPortState PtyDevice::Port() const {
  termios settings{};
  if (master_ < 0 || ::tcgetattr(master_, &settings) != 0) {
    return FarPortState();
  }
  // The master side reads the settings the server gave the terminal.
  return FarPortStateOf(settings, HostLines());
}

void PtyDevice::Step(int stop_descriptor) {
  Wait(stop_descriptor);
  clock_.CatchUp();
  uart_.Advance();
  LookForHangUp();
  TakeFromServer();
  // What the server wrote after changing the port goes out as the port now says.
  if (!incoming_.empty() || clock_.Now() >= next_settings_look_) {
    ApplyPortSettings();
  }
  if (!incoming_.empty()) {
    const std::size_t taken = uart_.Write(incoming_.data(), incoming_.size());
    incoming_.erase(incoming_.begin(), incoming_.begin() + static_cast<std::ptrdiff_t>(taken));
  }
  GiveToServer();
  ShowModemLines();
}

void PtyDevice::Wait(int stop_descriptor) {
  pollfd entries[2];
  nfds_t count = 0;
  if (port_open_) {
    // A hang-up is reported whatever is asked for; while the terminal is closed it would be
    // reported at once on every wait, so the terminal is then only looked at with the settings.
    const bool room = incoming_.empty() && uart_.PendingOutput() < kUartTransmitBufferBytes;
    const auto events = static_cast<short>((room ? POLLIN : 0) | (outgoing_.empty() ? 0 : POLLOUT));
    entries[count++] = pollfd{master_, events, 0};
  }
  if (stop_descriptor >= 0) {
    entries[count++] = pollfd{stop_descriptor, POLLIN, 0};
  }
  Clock::Micros due = next_settings_look_;
  if (const auto change = uart_.NextChange(!incoming_.empty())) {
    due = std::min(due, *change);
  }
  const Clock::Micros now = source_.Now();
  const Clock::Micros left = due > now ? due - now : 0;
  timespec wait{};
  wait.tv_sec = static_cast<time_t>(left / 1'000'000);
  wait.tv_nsec = static_cast<long>(left % 1'000'000) * 1000;
  ::ppoll(entries, count, &wait, nullptr);
}

void PtyDevice::LookForHangUp() {
  pollfd entry{master_, 0, 0};
  const bool hung_up = ::poll(&entry, 1, 0) > 0 && (entry.revents & POLLHUP) != 0;
  if (hung_up && port_open_) {
    // The server has closed the port: what it left is what the device is left with.
    ++closes_;
    port_at_close_ = Port();
    incoming_.clear();
    outgoing_.clear();
  }
  port_open_ = !hung_up;
}

void PtyDevice::ApplyPortSettings() {
  next_settings_look_ = clock_.Now() + kSettingsLookMicros;
  const FarPortState port = Port();
  if (port.baud == 0) {
    return;  // no settings to read, or B0 (hang up): the line keeps its speed
  }
  port_in_force_ = port;
  uart_.SetLineState(LineStateFor(port, uart_.LineState()));
}

void PtyDevice::TakeFromServer() {
  if (!port_open_ || !incoming_.empty()) {
    return;
  }
  const std::size_t pending = uart_.PendingOutput();
  if (pending >= kUartTransmitBufferBytes) {
    return;  // the UART is full: the rest waits in the terminal
  }
  std::uint8_t chunk[kChunk];
  const std::size_t room = std::min(sizeof chunk, kUartTransmitBufferBytes - pending);
  const ssize_t got = ::read(master_, chunk, room);
  if (got > 0) {
    incoming_.assign(chunk, chunk + got);
  }
}

void PtyDevice::GiveToServer() {
  if (outgoing_.size() < kOutgoingLimit) {
    std::uint8_t chunk[kChunk];
    const std::size_t got = uart_.Read(chunk, std::min(sizeof chunk, kOutgoingLimit));
    outgoing_.insert(outgoing_.end(), chunk, chunk + got);
  }
  if (!port_open_) {
    outgoing_.clear();  // nobody has the port open: what the device sends is lost
    return;
  }
  if (outgoing_.empty()) {
    return;
  }
  const ssize_t written = ::write(master_, outgoing_.data(), outgoing_.size());
  if (written > 0) {
    outgoing_.erase(outgoing_.begin(), outgoing_.begin() + written);
  }
}

void PtyDevice::ShowModemLines() {
  const std::uint32_t lines = uart_.ClearToSend() ? std::uint32_t{TIOCM_CTS} : 0u;
  if (lines != shown_lines_) {
    shown_lines_ = lines;
    lines_.Lines().device_lines.store(lines);
  }
}

}  // namespace tovrel::pty
