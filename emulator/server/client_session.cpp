#include "emulator/server/client_session.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace tovrel::server {
namespace {

using rfc2217::ComPortCommand;
using rfc2217::ComPortRole;
using telnet::Side;

// Bytes taken from the connection at a time.
constexpr std::size_t kReceiveChunk = 4096;
// Client data held here beyond what the UART has taken; reading stops at this much.
constexpr std::size_t kHeldLimit = 4096;
// Negotiations and requests queued behind data the UART cannot take yet; reading stops at this
// many too, or a client could pile them up without end while the line stands still.
constexpr std::size_t kQueuedEventLimit = 256;
// Wire bytes queued for the client; beyond this much, device output stays in the UART and the
// client is not read.
constexpr std::size_t kOutLimit = 65536;
// Bytes taken from the UART at a time.
constexpr std::size_t kForwardChunk = 4096;
// Grace beyond the line time of pending bytes, for a transmit purge and for delivering what a
// departed client sent.
constexpr Clock::Micros kGraceMicros = 1'000'000;
// The longest a departed client keeps the session: once for taking in what it sent that is still
// in the connection, and once (plus the grace) for delivering what the session holds. A line
// that a slow rate or a device holding CTS off keeps from moving would otherwise keep the
// server from every other client for as long as it likes.
constexpr Clock::Micros kLongestLingerMicros = 30'000'000;

}  // namespace

ClientSession::ClientSession(net::Socket connection, Clock& clock, const DeviceConfig& config,
                             const DeviceFaults& faults)
    : ClientSession(std::make_unique<net::SocketStream>(std::move(connection)), clock, config,
                    faults) {}

ClientSession::ClientSession(std::unique_ptr<net::ByteStream> connection, Clock& clock,
                             const DeviceConfig& config, const DeviceFaults& faults)
    : connection_(std::move(connection)), clock_(clock), uart_(clock_, config, faults) {
  // Ask for what a binary serial stream needs; clients that wait to be asked then agree too.
  // A requested option is also allowed when the client asks for it; every other is refused.
  negotiator_.Request(Side::kLocal, telnet::kOptionBinary, out_);
  negotiator_.Request(Side::kRemote, telnet::kOptionBinary, out_);
  negotiator_.Request(Side::kLocal, telnet::kOptionSuppressGoAhead, out_);
  negotiator_.Request(Side::kRemote, telnet::kOptionSuppressGoAhead, out_);
  negotiator_.Request(Side::kRemote, telnet::kOptionComPort, out_);
  cts_ = uart_.ClearToSend();
  if (!connection_) {
    LoseClient(EBADF);
    return;
  }
  SendQueued();
}

void ClientSession::CheckFinished() {
  if (client_gone_ && !finished_) {
    const bool delivered = events_.empty() && uart_.PendingOutput() == 0;
    finished_ = delivered || clock_.Now() >= linger_until_;
  }
}

bool ClientSession::WantInput() const {
  // A client that does not read what it is sent is not listened to either, so that its
  // requests cannot pile up answers here without end.
  return !client_gone_ && held_bytes_ < kHeldLimit && events_.size() < kQueuedEventLimit &&
         !purge_deadline_ && out_.size() - out_sent_ < kOutLimit;
}

void ClientSession::Step(std::uint32_t wait_ms) {
  bool readable = false;
  bool writable = false;
  if (!client_gone_) {
    clock_.CatchUp();
    const Clock::Micros wait_start = clock_.Now();
    net::Readiness ready;
    std::uint32_t error = 0;
    // A broken connection shows as readable and is found out by reading from it, even while
    // input is not wanted.
    if (!connection_->Wait(WantInput(), out_sent_ < out_.size(), wait_ms, ready, error)) {
      LoseClient(error != 0 ? error : static_cast<std::uint32_t>(ECONNRESET));
    }
    readable = ready.readable;
    writable = ready.writable;
    if (ready.hung_up && !readable) {
      ClientHungUp();
      if (!writable) {
        // A hang-up ends every wait at once: make up the rest, to keep the pace of the steps.
        clock_.CatchUp();
        const Clock::Micros waited = clock_.Now() - wait_start;
        const Clock::Micros wanted = Clock::Micros{wait_ms} * 1000u;
        if (waited < wanted) {
          clock_.SleepFor(wanted - waited);
        }
      }
    }
  } else if (wait_ms > 0) {
    clock_.Sleep(wait_ms);
  }

  clock_.CatchUp();
  uart_.Advance();
  ReportModemLines();
  if (readable) {
    ReceiveInput();
  }
  ProcessEvents();
  UpdateFlowControl();
  ForwardDeviceOutput();
  if (client_gone_) {
    out_.clear();  // answers to what a departed client asked go nowhere
    out_sent_ = 0;
  } else if (writable || out_sent_ < out_.size()) {
    SendQueued();
  }
  CheckFinished();
}

// --- Input from the client ---------------------------------------------------------------------

void ClientSession::ReceiveInput() {
  std::uint8_t chunk[kReceiveChunk];
  std::size_t received = 0;
  std::uint32_t error = 0;
  switch (connection_->Receive(chunk, sizeof chunk, received, error)) {
    case net::IoStatus::kDone:
      decoder_.Feed(chunk, received, *this);
      break;
    case net::IoStatus::kWouldBlock:
      break;
    case net::IoStatus::kClosed:
      LoseClient(0);
      break;
    case net::IoStatus::kFailed:
      LoseClient(error != 0 ? error : static_cast<std::uint32_t>(ECONNRESET));
      break;
  }
}

void ClientSession::LoseClient(std::uint32_t error) {
  if (client_gone_) {
    return;
  }
  client_gone_ = true;
  connection_error_ = error;
  out_.clear();
  out_sent_ = 0;
  const Clock::Micros line_time =
      uart_.PendingOutputTime() +
      Clock::Micros{held_bytes_} * ByteTimeMicros(uart_.LineState().BaudRate);
  linger_until_ = clock_.Now() + std::min(line_time, kLongestLingerMicros) + kGraceMicros;
  connection_.reset();
}

void ClientSession::ClientHungUp() {
  // The client has closed its end while the session is not reading, so what it sent last is
  // still in the connection; it comes in as the line makes room, for a while.
  const Clock::Micros now = clock_.Now();
  if (!hang_up_deadline_) {
    hang_up_deadline_ = now + kLongestLingerMicros;
  } else if (now >= *hang_up_deadline_) {
    LoseClient(0);
  }
}

void ClientSession::OnData(const std::uint8_t* bytes, std::size_t count) {
  if (events_.empty() || events_.back().kind != ClientEvent::Kind::kData) {
    events_.emplace_back();
  }
  std::vector<std::uint8_t>& data = events_.back().data;
  data.insert(data.end(), bytes, bytes + count);
  held_bytes_ += count;
}

void ClientSession::OnNegotiation(telnet::Verb verb, std::uint8_t option) {
  ClientEvent event;
  event.kind = ClientEvent::Kind::kNegotiation;
  event.verb = verb;
  event.option = option;
  events_.push_back(std::move(event));
}

void ClientSession::OnSubnegotiation(std::uint8_t option, const std::uint8_t* payload,
                                     std::size_t length) {
  ClientEvent event;
  if (option != telnet::kOptionComPort || !ParseComPort(payload, length, event.message) ||
      event.message.from_server) {
    return;  // not something a client of this port has any business sending
  }
  event.kind = ClientEvent::Kind::kComPort;
  events_.push_back(std::move(event));
}

// --- Carrying out what the client sent ---------------------------------------------------------

void ClientSession::ProcessEvents() {
  while (!events_.empty()) {
    ClientEvent& event = events_.front();
    switch (event.kind) {
      case ClientEvent::Kind::kData: {
        const std::size_t taken =
            uart_.Write(event.data.data() + front_offset_, event.data.size() - front_offset_);
        front_offset_ += taken;
        held_bytes_ -= taken;
        bytes_to_device_ += taken;
        if (front_offset_ < event.data.size()) {
          return;  // the UART is full: the rest waits, and so does everything behind it
        }
        front_offset_ = 0;
        break;
      }
      case ClientEvent::Kind::kNegotiation:
        negotiator_.Receive(event.verb, event.option, out_);
        if (negotiator_.IsEnabled(Side::kRemote, telnet::kOptionComPort)) {
          ComPortInUse();
        }
        break;
      case ClientEvent::Kind::kComPort:
        // A client may take the option as agreed before its own WILL went out (crossing
        // requests); its first message settles it.
        ComPortInUse();
        if (!HandleComPort(event.message)) {
          return;
        }
        break;
    }
    events_.pop_front();
  }
}

void ClientSession::Answer(ComPortCommand command, const std::vector<std::uint8_t>& value) {
  if (client_gone_) {
    return;
  }
  rfc2217::AppendComPort(out_, ComPortRole::kServer, command, value.data(), value.size());
}

bool ClientSession::HandleComPort(const rfc2217::ComPortMessage& message) {
  if (IsSettingsRequest(message.command)) {
    // A refusal leaves the old state, which the answer tells.
    uart_.SetLineState(RequestedLineState(message, uart_.LineState(), extras_));
    Answer(message.command, AnswerValue(message, uart_.LineState(), extras_));
    return true;
  }
  switch (message.command) {
    case ComPortCommand::kSignature:
      if (message.value.empty()) {  // a question; a value is the client's own signature
        const std::string name = kServerSignature;
        Answer(ComPortCommand::kSignature, std::vector<std::uint8_t>(name.begin(), name.end()));
      }
      return true;
    case ComPortCommand::kSetLineStateMask:
      // This line has no errors or breaks to report; the mask is only acknowledged.
      Answer(message.command, {message.Byte()});
      return true;
    case ComPortCommand::kSetModemStateMask:
      modem_mask_ = message.Byte();
      Answer(message.command, {modem_mask_});
      if (modem_mask_ != 0) {
        SendModemState(ModemState(false));
      }
      return true;
    case ComPortCommand::kNotifyModemState:
      // Some clients poll the lines this way instead of waiting for changes.
      SendModemState(ModemState(false));
      return true;
    case ComPortCommand::kFlowControlSuspend:
      client_suspended_us_ = true;
      return true;
    case ComPortCommand::kFlowControlResume:
      client_suspended_us_ = false;
      return true;
    case ComPortCommand::kPurgeData:
      return HandlePurge(message);
    default:
      return true;  // notifications are the server's to send; nothing to do
  }
}

bool ClientSession::HandlePurge(const rfc2217::ComPortMessage& message) {
  const std::uint8_t what = message.Byte();
  const bool receive = what == rfc2217::kPurgeReceive || what == rfc2217::kPurgeBoth;
  const bool transmit = what == rfc2217::kPurgeTransmit || what == rfc2217::kPurgeBoth;
  if (transmit && uart_.PendingOutput() > 0) {
    if (!purge_deadline_) {
      purge_deadline_ = clock_.Now() + uart_.PendingOutputTime() + kGraceMicros;
    }
    if (clock_.Now() < *purge_deadline_) {
      return false;  // the UART is still sending what it was given; answer once it is done
    }
  }
  purge_deadline_.reset();
  const std::uint32_t flags = (receive ? PURGE_RXABORT | PURGE_RXCLEAR : 0u) |
                              (transmit ? PURGE_TXABORT | PURGE_TXCLEAR : 0u);
  if (flags != 0) {
    uart_.Purge(flags);
  }
  Answer(ComPortCommand::kPurgeData, {what});
  return true;
}

// --- Modem lines and flow control --------------------------------------------------------------

void ClientSession::ComPortInUse() {
  if (!com_port_in_use_) {
    // Tell the lines as they are at once: some clients never set a mask and would otherwise
    // know nothing until the first change.
    com_port_in_use_ = true;
    SendModemState(ModemState(false));
  }
}

std::uint8_t ClientSession::ModemState(bool delta) const {
  const int state = (cts_ ? rfc2217::kModemCts : 0) | (delta ? rfc2217::kModemDeltaCts : 0);
  return static_cast<std::uint8_t>(state & modem_mask_);
}

void ClientSession::SendModemState(std::uint8_t state) {
  if (!client_gone_) {
    rfc2217::AppendComPortByte(out_, ComPortRole::kServer, ComPortCommand::kNotifyModemState,
                               state);
  }
}

void ClientSession::ReportModemLines() {
  const bool cts = uart_.ClearToSend();
  if (cts != cts_) {
    cts_ = cts;
    const std::uint8_t masked = ModemState(true);
    if (masked != 0) {
      SendModemState(masked);
    }
  }
  UpdateFlowControl();
}

void ClientSession::UpdateFlowControl() {
  const bool hold = uart_.OutputHeld();
  if (hold == suspended_client_ || client_gone_) {
    return;
  }
  suspended_client_ = hold;
  rfc2217::AppendComPort(
      out_, ComPortRole::kServer,
      hold ? ComPortCommand::kFlowControlSuspend : ComPortCommand::kFlowControlResume, nullptr, 0);
}

// --- Output to the client ----------------------------------------------------------------------

void ClientSession::ForwardDeviceOutput() {
  if (client_gone_ || client_suspended_us_ || out_.size() - out_sent_ >= kOutLimit) {
    return;
  }
  std::uint8_t chunk[kForwardChunk];
  const std::size_t got = uart_.Read(chunk, sizeof chunk);
  if (got > 0) {
    bytes_from_device_ += got;
    telnet::AppendData(out_, chunk, got);
  }
}

void ClientSession::SendQueued() {
  while (!client_gone_ && out_sent_ < out_.size()) {
    std::size_t sent = 0;
    std::uint32_t error = 0;
    const net::IoStatus status =
        connection_->Send(out_.data() + out_sent_, out_.size() - out_sent_, sent, error);
    if (status == net::IoStatus::kFailed) {
      LoseClient(error != 0 ? error : static_cast<std::uint32_t>(EPIPE));
      return;
    }
    if (status != net::IoStatus::kDone || sent == 0) {
      break;
    }
    out_sent_ += sent;
  }
  if (out_sent_ == out_.size()) {
    out_.clear();
    out_sent_ = 0;
  } else if (out_sent_ > kOutLimit) {
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(out_sent_));
    out_sent_ = 0;
  }
}

// --- Waiting -----------------------------------------------------------------------------------

int ClientSession::WaitDescriptor() const {
  return client_gone_ || !connection_ ? -1 : connection_->Descriptor();
}

short ClientSession::WaitEvents() const {
  if (client_gone_) {
    return 0;
  }
  short events =
      static_cast<short>((WantInput() ? POLLIN : 0) | (out_sent_ < out_.size() ? POLLOUT : 0));
#ifdef POLLRDHUP
  // A client that closes while it is not being read must still wake the server.
  events = static_cast<short>(events | POLLRDHUP);
#endif
  return events;
}

std::optional<Clock::Micros> ClientSession::NextDueTime() const {
  // Client data waiting for room in the UART moves as soon as a byte has left.
  std::optional<Clock::Micros> due = Earliest(uart_.NextChange(held_bytes_ > 0), purge_deadline_);
  if (client_gone_ && !finished_) {
    due = Earliest(due, linger_until_);
  }
  return due;
}

}  // namespace tovrel::server
