#include "serial/rfc2217/client_connection.h"

#include <algorithm>
#include <cerrno>
#include <climits>

#include "rfc2217/line_state_mapping.h"
#include "serial/timeout_rules.h"
#include "serial/trace.h"

namespace tovrel::rfc2217 {
namespace {

// The trace the options name, or the one that records nothing.
Trace& TraceOf(const ClientOptions& options) {
  return options.trace != nullptr ? *options.trace : NoTrace();
}

}  // namespace

namespace {

using telnet::Side;

// Longest single wait worked out from the time-outs (about 24 days): keeps every deadline
// within what the clock can represent, whatever the time-outs multiply to.
constexpr std::uint64_t kLongestWaitMs = 2000000000u;

// Bytes taken from the socket in one go, and rounds per Step, so that a flood of input cannot
// keep one Step busy for long.
constexpr std::size_t kReceiveChunk = 4096;
constexpr int kReceiveRounds = 16;

// Server messages kept for a request to match against.
constexpr std::size_t kMaxQueuedReplies = 64;

// Answers to the server's negotiations join the output queue. A server that keeps asking while
// it does not read would make the queue grow without end, so past this many unsent bytes the
// connection is not read until the queue has shrunk: TCP then holds the server back. Sent bytes
// at the front of the queue are dropped once there are this many, so that a queue that never
// quite empties does not grow either.
constexpr std::size_t kOutputQueueLimit = 65536;

// The modem-line bits of a NOTIFY-MODEMSTATE carry the MS_* values unchanged (CTS 0x10, DSR
// 0x20, RI 0x40, CD 0x80); the low four bits report changes and have no MS_* counterpart.
constexpr std::uint8_t kModemLineBits = kModemCd | kModemRi | kModemDsr | kModemCts;

std::vector<std::uint8_t> BigEndian(std::uint32_t number) {
  return {static_cast<std::uint8_t>(number >> 24), static_cast<std::uint8_t>(number >> 16),
          static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number)};
}

}  // namespace

ClientConnection::ClientConnection(const ClientOptions& options, Clock& clock)
    : options_(options), clock_(clock), line_state_(DefaultRemoteLineState()) {}

SysResult ClientConnection::Fail(std::uint32_t error) {
  return SysResult::Failed(error);
}

void ClientConnection::Lose(std::uint32_t error) {
  if (lost_error_ == 0) {
    lost_error_ = error != 0 ? error : static_cast<std::uint32_t>(ECONNRESET);
  }
}

ClientConnection::TimePoint ClientConnection::After(std::uint64_t milliseconds) {
  return clock_.Now() + std::min(milliseconds, kLongestWaitMs) * 1000u;
}

std::uint32_t ClientConnection::MillisecondsUntil(TimePoint deadline) {
  const Clock::Micros now = clock_.Now();
  if (now >= deadline) {
    return 0;
  }
  // Rounded up, so that a wait never ends just before its deadline and spins once more.
  const std::uint64_t left = (deadline - now + 999u) / 1000u;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(left, INT_MAX));
}

// --- Opening ---------------------------------------------------------------------------------

SysResult ClientConnection::Open(const RemotePortAddress& address) {
  std::uint32_t error = 0;
  std::function<bool()> give_up;
  if (options_.interruption != nullptr) {
    give_up = [this] { return StopRequested(); };
  }
  net::Socket socket =
      net::ConnectTcp(address.host, address.port, options_.connect_timeout_ms, error, give_up);
  if (!socket.IsOpen()) {
    TraceOf(options_).Line("rfc2217: connecting to %s:%u failed, errno %u", address.host.c_str(),
                           static_cast<unsigned>(address.port), static_cast<unsigned>(error));
    return Fail(error);
  }
  TraceOf(options_).Line("rfc2217: connected to %s:%u", address.host.c_str(),
                         static_cast<unsigned>(address.port));
  return OpenOver(std::make_unique<net::SocketStream>(std::move(socket)));
}

SysResult ClientConnection::OpenOver(std::unique_ptr<net::ByteStream> stream) {
  stream_ = std::move(stream);
  if (!stream_) {
    return Fail(EINVAL);
  }
  SysResult opened = Negotiate();
  if (opened) {
    opened = AwaitSettings();
  }
  if (!opened) {
    stream_.reset();
  }
  return opened;
}

SysResult ClientConnection::Negotiate() {
  // The server may offer COM-PORT-OPTION on its side too; accepting costs nothing.
  negotiator_.Allow(Side::kRemote, telnet::kOptionComPort);
  negotiator_.Request(Side::kLocal, telnet::kOptionComPort, out_);
  negotiator_.Request(Side::kLocal, telnet::kOptionBinary, out_);
  negotiator_.Request(Side::kRemote, telnet::kOptionBinary, out_);
  negotiator_.Request(Side::kLocal, telnet::kOptionSuppressGoAhead, out_);
  negotiator_.Request(Side::kRemote, telnet::kOptionSuppressGoAhead, out_);
  auto answered = [this] {
    if (negotiator_.IsPending(Side::kLocal, telnet::kOptionComPort)) {
      return false;
    }
    // A refusal of COM-PORT-OPTION settles the matter whatever else is still open.
    return !negotiator_.IsEnabled(Side::kLocal, telnet::kOptionComPort) ||
           (!negotiator_.IsPending(Side::kLocal, telnet::kOptionBinary) &&
            !negotiator_.IsPending(Side::kRemote, telnet::kOptionBinary));
  };
  if (const SysResult waited =
          WaitFor(answered, After(options_.negotiation_timeout_ms), Stoppable::kUntilStopped);
      !waited) {
    return waited;
  }
  TraceOf(options_).Line(
      "rfc2217: COM-PORT-OPTION %s, binary from us %s, binary to us %s",
      negotiator_.IsEnabled(Side::kLocal, telnet::kOptionComPort) ? "agreed" : "refused",
      negotiator_.IsEnabled(Side::kLocal, telnet::kOptionBinary) ? "agreed" : "refused",
      negotiator_.IsEnabled(Side::kRemote, telnet::kOptionBinary) ? "agreed" : "refused");
  // Without binary transmission the data would be subject to the NVT's CR rules.
  if (!negotiator_.IsEnabled(Side::kLocal, telnet::kOptionComPort) ||
      !negotiator_.IsEnabled(Side::kLocal, telnet::kOptionBinary) ||
      !negotiator_.IsEnabled(Side::kRemote, telnet::kOptionBinary)) {
    return Fail(EPROTONOSUPPORT);
  }
  return SysResult::Ok();
}

SysResult ClientConnection::AwaitSettings() {
  replies_.clear();
  AppendComPortByte(out_, ComPortRole::kClient, ComPortCommand::kSetModemStateMask,
                    kModemStateMask);
  // A value of 0 asks for the setting in force.
  AppendSetBaudRate(out_, ComPortRole::kClient, 0);
  AppendComPortByte(out_, ComPortRole::kClient, ComPortCommand::kSetDataSize, 0);
  AppendComPortByte(out_, ComPortRole::kClient, ComPortCommand::kSetParity, 0);
  AppendComPortByte(out_, ComPortRole::kClient, ComPortCommand::kSetStopSize, 0);
  AppendComPortByte(out_, ComPortRole::kClient, ComPortCommand::kSetControl, kControlRequestFlow);

  DCB state = DefaultRemoteLineState();
  bool rate = false;
  bool size = false;
  bool parity = false;
  bool stop = false;
  bool flow = false;
  auto take_replies = [&] {
    while (!replies_.empty()) {
      const ComPortMessage message = std::move(replies_.front());
      replies_.pop_front();
      const std::uint8_t value = message.Byte();
      std::uint32_t number = 0;
      switch (message.command) {
        case ComPortCommand::kSetBaudRate:
          if (!rate && message.BigEndian32(number) && number != 0) {
            state.BaudRate = number;
          }
          rate = true;
          break;
        case ComPortCommand::kSetDataSize:
          if (!size && value >= 5 && value <= 8) {
            state.ByteSize = value;
          }
          size = true;
          break;
        case ComPortCommand::kSetParity:
          if (!parity) {
            ParityFromWire(value, state.Parity);
          }
          parity = true;
          break;
        case ComPortCommand::kSetStopSize:
          if (!stop) {
            StopBitsFromWire(value, state.StopBits);
          }
          stop = true;
          break;
        case ComPortCommand::kSetControl:
          if (!flow && value >= kControlNoFlow && value <= kControlHardwareFlow) {
            state.flags = FlagsForFlow(value);
          }
          flow = true;
          break;
        default:
          break;
      }
    }
    return rate && size && parity && stop && flow && have_modem_state_;
  };
  // A server that leaves some of this unanswered is still usable; only a lost connection ends
  // the open here.
  (void)WaitFor(take_replies, After(options_.settle_timeout_ms), Stoppable::kUntilStopped);
  if (Lost()) {
    return Fail(lost_error_);
  }
  if (StopRequested()) {
    return Fail(EINTR);
  }
  line_state_ = state;
  // The same question follows every write; a server that left it unanswered would seem gone.
  confirm_writes_ = size;
  return SysResult::Ok();
}

void ClientConnection::Close() {
  if (stream_ && !Lost()) {
    SendQueued();  // whatever the system takes at once; closing does not wait
  }
  stream_.reset();
}

// --- Input and output ------------------------------------------------------------------------

void ClientConnection::Step(std::uint32_t wait_ms) {
  if (!stream_) {
    Lose(ENOTCONN);  // closed, or never opened
    return;
  }
  CheckUnanswered();
  if (Lost()) {
    return;
  }
  // A wait with nothing asked (on a line the device holds, say) would not notice a server that
  // has stopped: after a while without a word from it, ask the question that it answers.
  if (confirm_writes_ && !exchanging_ && unanswered_.empty()) {
    const TimePoint ask_at = last_heard_at_ + std::uint64_t{options_.silence_question_ms} * 1000u;
    if (clock_.Now() >= ask_at) {
      Ask(ComPortCommand::kSetDataSize, 0);
    } else {
      wait_ms = std::min(wait_ms, MillisecondsUntil(ask_at));
    }
  }
  if (!unanswered_.empty()) {
    wait_ms = std::min(wait_ms, MillisecondsUntil(unanswered_.front().deadline));
  }
  const std::uint64_t sent_before = SentPosition();
  SendQueued();
  if (Lost()) {
    return;
  }
  // Output that went may be what the caller waits for: let it look (a write then accounts its
  // bytes to the far line) before anything is taken in, so that what the server says after
  // them, CTS dropped in answer to these very bytes say, is seen to come after them.
  if (SentPosition() != sent_before) {
    return;
  }
  net::Readiness ready;
  std::uint32_t error = 0;
  const bool want_input = QueuedOutput() < kOutputQueueLimit;
  if (!stream_->Wait(want_input, QueuedOutput() > 0, wait_ms, ready, error)) {
    Lose(error);
    return;
  }
  if (ready.readable) {
    ReceiveAvailable();
  }
  if (ready.writable && !Lost()) {
    SendQueued();
  }
  CheckUnanswered();
}

void ClientConnection::CheckUnanswered() {
  // Deadlines grow in the order the requests were asked, so the oldest is the first to pass.
  if (Lost() || unanswered_.empty() || clock_.Now() < unanswered_.front().deadline) {
    return;
  }
  TraceOf(options_).Line("rfc2217: request %u unanswered for %u ms: the server is gone",
                         static_cast<unsigned>(unanswered_.front().command),
                         static_cast<unsigned>(options_.reply_timeout_ms));
  Lose(ETIMEDOUT);
}

void ClientConnection::SendQueued() {
  if (!stream_) {
    Lose(ENOTCONN);
    return;
  }
  while (QueuedOutput() > 0) {
    std::size_t sent = 0;
    std::uint32_t error = 0;
    last_send_at_ = NowMicros();
    const net::IoStatus status =
        stream_->Send(out_.data() + out_sent_, QueuedOutput(), sent, error);
    if (status == net::IoStatus::kFailed) {
      Lose(error);
      return;
    }
    if (status != net::IoStatus::kDone || sent == 0) {
      break;
    }
    out_sent_ += sent;
  }
  if (out_sent_ == out_.size() || out_sent_ >= kOutputQueueLimit) {
    out_origin_ += out_sent_;
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(out_sent_));
    out_sent_ = 0;
  }
}

void ClientConnection::ReceiveAvailable() {
  std::uint8_t chunk[kReceiveChunk];
  for (int round = 0; round < kReceiveRounds && QueuedOutput() < kOutputQueueLimit; ++round) {
    std::size_t received = 0;
    std::uint32_t error = 0;
    switch (stream_->Receive(chunk, sizeof chunk, received, error)) {
      case net::IoStatus::kDone:
        last_heard_at_ = NowMicros();
        decoder_.Feed(chunk, received, *this);
        if (received < sizeof chunk) {
          return;
        }
        break;
      case net::IoStatus::kWouldBlock:
        return;
      case net::IoStatus::kClosed:
        Lose(ECONNRESET);
        return;
      case net::IoStatus::kFailed:
        Lose(error);
        return;
    }
  }
}

SysResult ClientConnection::WaitFor(const std::function<bool()>& done, TimePoint deadline,
                                    Stoppable stoppable) {
  for (;;) {
    if (done()) {
      return SysResult::Ok();
    }
    if (Lost()) {
      return Fail(lost_error_);
    }
    if (stoppable == Stoppable::kUntilStopped && StopRequested()) {
      return Fail(EINTR);
    }
    std::uint32_t left = MillisecondsUntil(deadline);
    if (left == 0) {
      // One last look without waiting, so that a deadline spent before the first try (on a
      // slow machine, or with a time-out of a millisecond) still moves what can move at once.
      Step(0);
      if (done()) {
        return SysResult::Ok();
      }
      return Fail(Lost() ? lost_error_ : static_cast<std::uint32_t>(ETIMEDOUT));
    }
    if (stoppable == Stoppable::kUntilStopped && options_.interruption != nullptr) {
      left = std::min(left, kInterruptionLookMs);
    }
    Step(left);
  }
}

// --- What the decoder finds ------------------------------------------------------------------

void ClientConnection::OnData(const std::uint8_t* bytes, std::size_t count) {
  if (receive_purges_unanswered_ > 0) {
    return;  // sent before a purge that the server has yet to answer
  }
  const bool drop_nul = (line_state_.flags & kDcbNull) != 0;
  for (std::size_t i = 0; i < count; ++i) {
    if ((drop_nul && bytes[i] == 0) || received_.size() >= kReceiveBufferLimit) {
      continue;
    }
    received_.push_back(bytes[i]);
  }
}

void ClientConnection::OnNegotiation(telnet::Verb verb, std::uint8_t option) {
  TraceOf(options_).Line("rfc2217: server says %s option %u",
                         verb == telnet::Verb::kWill   ? "WILL"
                         : verb == telnet::Verb::kWont ? "WONT"
                         : verb == telnet::Verb::kDo   ? "DO"
                                                       : "DONT",
                         static_cast<unsigned>(option));
  negotiator_.Receive(verb, option, out_);
}

void ClientConnection::OnSubnegotiation(std::uint8_t option, const std::uint8_t* payload,
                                        std::size_t length) {
  ComPortMessage message;
  if (option != telnet::kOptionComPort || !ParseComPort(payload, length, message)) {
    return;
  }
  // Flow-control requests are taken whichever code the server uses for them.
  if (message.command == ComPortCommand::kFlowControlSuspend) {
    TraceOf(options_).Line("rfc2217: server suspends our data");
    suspended_ = true;
    UpdateFarLineHold();
    return;
  }
  if (message.command == ComPortCommand::kFlowControlResume) {
    TraceOf(options_).Line("rfc2217: server resumes our data");
    suspended_ = false;
    UpdateFarLineHold();
    return;
  }
  if (!message.from_server) {
    return;
  }
  switch (message.command) {
    case ComPortCommand::kNotifyModemState:
      modem_state_ = message.Byte();
      TraceOf(options_).Line("rfc2217: modem state 0x%02x (CTS %s)",
                             static_cast<unsigned>(modem_state_),
                             (modem_state_ & 0x10) != 0 ? "on" : "off");
      have_modem_state_ = true;
      UpdateFarLineHold();
      break;
    case ComPortCommand::kNotifyLineState:
      break;  // errors on the far line: nothing here reports them
    case ComPortCommand::kPurgeData:
      // Every purge is asked without waiting; an acknowledgement nobody asked for means nothing.
      TakeAnswer(message);
      break;
    default:
      // The server answers in the order it was asked: the oldest question about the same thing
      // takes the answer before any batch asked after it.
      if (TakeAnswer(message)) {
        break;
      }
      // Only answers to requests still waiting matter; a server that chatters unasked cannot
      // make the queue grow without limit.
      if (replies_.size() >= kMaxQueuedReplies) {
        replies_.pop_front();
      }
      replies_.push_back(std::move(message));
      break;
  }
}

// --- Requests nobody waits for ---------------------------------------------------------------

std::uint64_t ClientConnection::Ask(ComPortCommand command, std::uint8_t value) {
  AppendComPortByte(out_, ComPortRole::kClient, command, value);
  Unanswered request;
  request.command = command;
  request.value = value;
  request.end = StreamEnd();
  request.deadline = After(options_.reply_timeout_ms);
  request.number = next_request_++;
  if (command == ComPortCommand::kPurgeData && value != kPurgeTransmit) {
    ++receive_purges_unanswered_;
  }
  unanswered_.push_back(request);
  return request.number;
}

bool ClientConnection::TakeAnswer(const ComPortMessage& message) {
  // An answer cannot come before its request has gone: a message that would answer one still
  // queued here is not its answer.
  const std::uint64_t sent = SentPosition();
  const auto found =
      std::find_if(unanswered_.begin(), unanswered_.end(), [&](const Unanswered& request) {
        return request.command == message.command && request.end <= sent;
      });
  if (found == unanswered_.end()) {
    return false;
  }
  if (found->number == awaited_request_) {
    awaited_answered_ = true;
    awaited_answer_ = message.Byte();
  }
  if (found->command == ComPortCommand::kPurgeData && found->value != kPurgeTransmit) {
    --receive_purges_unanswered_;
  }
  ConfirmThrough(found->end);
  unanswered_.erase(found);
  return true;
}

void ClientConnection::ConfirmThrough(std::uint64_t position) {
  std::uint64_t bytes = 0;
  while (!unconfirmed_writes_.empty() && unconfirmed_writes_.front().end <= position) {
    bytes += unconfirmed_writes_.front().bytes;
    unconfirmed_writes_.pop_front();
  }
  if (bytes == 0) {
    return;
  }
  unconfirmed_bytes_ -= bytes;
  confirmed_bytes_ += bytes;
  confirmed_line_.Account(static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes, UINT32_MAX)),
                          line_state_.BaudRate, NowMicros());
}

bool ClientConnection::MayHandOut(std::uint32_t count) const {
  if (suspended_) {
    return false;
  }
  if (unconfirmed_bytes_ == 0) {
    return true;  // a write larger than the window still goes, alone
  }
  const std::uint64_t rate = line_state_.BaudRate != 0 ? line_state_.BaudRate : 9600;
  const std::uint64_t window = rate * options_.unconfirmed_window_ms / 10000u;
  return unconfirmed_bytes_ + count <= window;
}

std::uint64_t ClientConnection::InDoubt() {
  const std::uint64_t now = NowMicros();
  const std::uint32_t rate = line_state_.BaudRate;
  const std::uint64_t sent_left = std::min(far_line_.BytesLeft(rate, now), line_accounted_);
  const std::uint64_t confirmed_left =
      std::min(confirmed_line_.BytesLeft(rate, now), confirmed_bytes_);
  const std::uint64_t delivered =
      std::min(line_accounted_ - sent_left, confirmed_bytes_ - confirmed_left);
  // A write that ran out of time counts for nothing, though some of it may be on its way; one
  // followed by whole writes leaves the count low, never above what the whole writes took.
  return whole_writes_end_ > delivered ? std::min(whole_writes_end_ - delivered, whole_bytes_) : 0;
}

SysResult ClientConnection::ConfirmOutput(std::uint64_t& unconfirmed_bytes) {
  if (!Lost() && stream_) {
    // The server's word first: the answer to the question behind the last whole write ...
    // Not acted on: what the answers do not confirm is counted as unconfirmed below.
    (void)WaitFor([this] { return confirmed_bytes_ >= whole_writes_end_; },
                  After(options_.reply_timeout_ms));
    // ... then the far line's time for what it got last. Nothing arrives when the line moves
    // on, so the waits end when both estimates could be idle, or for the socket.
    const TimePoint deadline =
        After(WriteLimitMs(timeouts_, InDoubt(), options_.unlimited_wait_cap_ms));
    while (!Lost() && InDoubt() > 0) {
      const std::uint32_t left = MillisecondsUntil(deadline);
      if (left == 0) {
        break;
      }
      const std::uint64_t now = NowMicros();
      std::uint64_t wait_us = std::uint64_t{left} * 1000u;
      for (const FarLineEstimate* line : {&far_line_, &confirmed_line_}) {
        if (!line->Held() && line->IdleAt() > now) {
          wait_us = std::min(wait_us, line->IdleAt() - now);
        }
      }
      Step(static_cast<std::uint32_t>((wait_us + 999) / 1000));
    }
  }
  unconfirmed_bytes = InDoubt();
  if (unconfirmed_bytes == 0) {
    TraceOf(options_).Line("rfc2217: every byte written has reached the far line");
  } else {
    TraceOf(options_).Line("rfc2217: %llu bytes written not known to have reached the far line",
                           static_cast<unsigned long long>(unconfirmed_bytes));
  }
  return Lost() ? Fail(lost_error_) : SysResult::Ok();
}

// --- Requests with acknowledgements ----------------------------------------------------------

SysResult ClientConnection::Exchange(AwaitedReplies& awaited) {
  if (Lost()) {
    return Fail(lost_error_);
  }
  replies_.clear();
  for (const AwaitedReply& request : awaited.Requests()) {
    AppendComPort(out_, ComPortRole::kClient, request.command, request.value.data(),
                  request.value.size());
  }
  auto settled = [&] {
    while (!replies_.empty()) {
      awaited.Take(replies_.front());
      replies_.pop_front();
    }
    return awaited.Contradicted() || awaited.Settled();
  };
  // The batch is itself the question: one asked behind it could take an answer meant for it.
  exchanging_ = true;
  const SysResult answered = WaitFor(settled, After(options_.reply_timeout_ms));
  exchanging_ = false;
  if (!answered) {
    Lose(answered.Error());
    return answered;
  }
  return awaited.Contradicted() ? Fail(EINVAL) : SysResult::Ok();
}

SysResult ClientConnection::SetLineState(const DCB& state) {
  LineRequest request;
  if (!MakeLineRequest(state, request)) {
    return Fail(EINVAL);
  }
  AwaitedReplies asked;
  asked.Await(ComPortCommand::kSetBaudRate, BigEndian(request.baud_rate));
  asked.Await(ComPortCommand::kSetDataSize, {request.data_size});
  asked.Await(ComPortCommand::kSetParity, {request.parity});
  asked.Await(ComPortCommand::kSetStopSize, {request.stop_size});
  for (const ControlRequest& control : ControlSequence(request)) {
    asked.Await(ComPortCommand::kSetControl, {control.value}, control.optional);
  }
  const SysResult accepted = Exchange(asked);
  const bool contradicted = asked.Contradicted();

  // Whatever the outcome, a frame setting the server answered is the one in force there.
  DCB in_force = accepted ? state : line_state_;
  for (const AwaitedReply& answer : asked.Requests()) {
    if (!answer.answered || answer.reply.empty()) {
      continue;
    }
    ComPortMessage reply;
    reply.value = answer.reply;
    std::uint32_t rate = 0;
    switch (answer.command) {
      case ComPortCommand::kSetBaudRate:
        if (reply.BigEndian32(rate)) {
          in_force.BaudRate = rate;
        }
        break;
      case ComPortCommand::kSetDataSize:
        in_force.ByteSize = reply.Byte();
        break;
      case ComPortCommand::kSetParity:
        ParityFromWire(reply.Byte(), in_force.Parity);
        break;
      case ComPortCommand::kSetStopSize:
        StopBitsFromWire(reply.Byte(), in_force.StopBits);
        break;
      default:
        break;
    }
  }
  line_state_ = in_force;
  UpdateFarLineHold();  // flow control may have been switched
  if (!accepted) {
    return contradicted ? Fail(EINVAL) : accepted;
  }
  return SysResult::Ok();
}

SysResult ClientConnection::ClearDtr() {
  AwaitedReplies asked;
  asked.Await(ComPortCommand::kSetControl, {kControlDtrOff});
  const SysResult answered = Exchange(asked);
  if (!answered) {
    return asked.Contradicted() ? Fail(EIO) : answered;
  }
  return SysResult::Ok();
}

SysResult ClientConnection::Purge(std::uint32_t purge_flags) {
  const bool input = (purge_flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
  // Only an abort reaches the server's transmit buffer. A plain clear follows a drain, after
  // which a local port has nothing left to discard; here the drain cannot wait for the far
  // UART, so the server may still hold the end of the last write, and clearing it would cut
  // the image short.
  const bool output = (purge_flags & PURGE_TXABORT) != 0;
  if (Lost()) {
    return Fail(lost_error_);
  }
  if (!input && !output) {
    return SysResult::Ok();
  }
  // Output already handed to the socket cannot be called back; the server drops what it still
  // holds. Nothing queued here is data waiting to go (a write leaves at most the second half of
  // a doubled 0xFF, which must go to keep the stream whole).
  const std::uint8_t value = input && output ? kPurgeBoth : input ? kPurgeReceive : kPurgeTransmit;
  if (input) {
    received_.clear();  // and until the acknowledgement, data in flight is from before
  }
  if (output) {
    // The server drops what it still holds: the far line has nothing left to send.
    far_line_.Discard(NowMicros());
  }
  const std::uint64_t request = Ask(ComPortCommand::kPurgeData, value);
  if (!output) {
    return SysResult::Ok();  // a reply read later waits for the acknowledgement; none else does
  }
  // What the far line still had is gone: the port's state is known only once the server says so.
  awaited_request_ = request;
  awaited_answered_ = false;
  const SysResult answered =
      WaitFor([this] { return awaited_answered_; }, After(options_.reply_timeout_ms));
  awaited_request_ = ~std::uint64_t{0};
  if (!answered) {
    Lose(answered.Error());
    return answered;
  }
  return awaited_answer_ == value ? SysResult::Ok() : Fail(EIO);
}

SysResult ClientConnection::ModemStatus(std::uint32_t& status) {
  if (!Lost()) {
    Step(0);
  }
  if (Lost()) {
    return Fail(lost_error_);
  }
  status = modem_state_ & kModemLineBits;
  return SysResult::Ok();
}

SysResult ClientConnection::ClearErrors() {
  if (!Lost()) {
    Step(0);
  }
  return Lost() ? Fail(lost_error_) : SysResult::Ok();
}

SysResult ClientConnection::Read(std::uint8_t* buffer, std::uint32_t count,
                                 std::uint32_t& bytes_read) {
  bytes_read = 0;
  if (count == 0) {
    return SysResult::Ok();
  }
  if (buffer == nullptr) {
    return Fail(EINVAL);
  }
  const ReadPlan plan = PlanRead(timeouts_, count, options_.unlimited_wait_cap_ms);
  const TimePoint total_deadline = After(plan.total_ms);
  TimePoint last_byte = clock_.Now();
  if (!Lost()) {
    Step(0);
  }
  for (;;) {
    const std::size_t take = std::min<std::size_t>(received_.size(), count - bytes_read);
    if (take > 0) {
      const auto end = received_.begin() + static_cast<std::ptrdiff_t>(take);
      std::copy(received_.begin(), end, buffer + bytes_read);
      received_.erase(received_.begin(), end);
      bytes_read += static_cast<std::uint32_t>(take);
      last_byte = clock_.Now();
    }
    if (bytes_read == count) {
      return SysResult::Ok();
    }
    if (Lost()) {
      return Fail(lost_error_);
    }
    if (plan.mode == ReadMode::kReturnAtOnce ||
        (plan.mode == ReadMode::kUntilFirstByte && bytes_read > 0)) {
      return SysResult::Ok();
    }
    TimePoint deadline = total_deadline;
    if (plan.interval_ms > 0 && bytes_read > 0) {
      deadline = std::min(deadline, last_byte + std::min(plan.interval_ms, kLongestWaitMs) * 1000u);
    }
    std::uint32_t left = MillisecondsUntil(deadline);
    if (left == 0) {
      return SysResult::Ok();  // the time-out ran out: a short count, not a failure
    }
    if (options_.interruption != nullptr) {
      if (options_.interruption->Requested()) {
        return Fail(EINTR);  // what arrived stays in the buffer, counted in bytes_read
      }
      left = std::min(left, kInterruptionLookMs);
    }
    Step(left);
  }
}

SysResult ClientConnection::Write(const std::uint8_t* bytes, std::uint32_t count,
                                  std::uint32_t& bytes_written) {
  bytes_written = 0;
  if (count == 0) {
    return SysResult::Ok();
  }
  if (bytes == nullptr) {
    return Fail(EINVAL);
  }
  if (Lost()) {
    return Fail(lost_error_);
  }
  const std::uint32_t requested = count;
  const TimePoint deadline = After(WriteLimitMs(timeouts_, count, options_.unlimited_wait_cap_ms));
  Step(0);  // a suspension or a closed connection that has already arrived counts now
  if (!MayHandOut(count)) {
    if (!suspended_) {
      TraceOf(options_).Line("rfc2217: %llu bytes written not yet confirmed: the write waits",
                             static_cast<unsigned long long>(unconfirmed_bytes_));
    }
    if (const SysResult waited =
            WaitFor([&] { return MayHandOut(count); }, deadline, Stoppable::kUntilStopped);
        !waited) {
      if (waited.Error() == EINTR || Lost()) {
        return waited;  // stopped while held back, or gone: nothing of it went
      }
      return SysResult::Ok();  // held back for the whole time-out: nothing written
    }
  }
  if (Lost()) {
    return Fail(lost_error_);
  }
  const std::uint64_t begin = StreamEnd();
  telnet::AppendData(out_, bytes, count);
  const std::uint64_t end = StreamEnd();
  // The question right behind the data: its answer, on its way back before the device has
  // even taken the write in, shows the server has it.
  const std::uint64_t question = confirm_writes_ ? Ask(ComPortCommand::kSetDataSize, 0) : 0;
  unconfirmed_writes_.push_back(WrittenSpan{end, count});
  unconfirmed_bytes_ += count;
  if (!WaitFor([&] { return SentPosition() >= end; }, deadline)) {
    // A byte has gone once its encoding has started to go; the rest of a doubled 0xFF stays
    // queued so that the stream stays whole. Bytes not started are withdrawn.
    const std::uint64_t sent = SentPosition();
    std::uint64_t position = begin;
    std::uint32_t gone = 0;
    while (gone < count && position < sent) {
      position += bytes[gone] == telnet::kIac ? 2u : 1u;
      ++gone;
    }
    if (Lost()) {
      return Fail(lost_error_);
    }
    out_.erase(out_.begin() + static_cast<std::ptrdiff_t>(position - out_origin_),
               out_.begin() + static_cast<std::ptrdiff_t>(end - out_origin_));
    // The question behind the data moved up with it; neither it nor the data has gone yet.
    const std::uint64_t withdrawn = end - position;
    if (confirm_writes_) {
      for (Unanswered& request : unanswered_) {
        request.end -= request.number == question ? withdrawn : 0;
      }
    }
    WrittenSpan& span = unconfirmed_writes_.back();
    span.end -= withdrawn;
    span.bytes = gone;
    unconfirmed_bytes_ -= count - gone;
    count = gone;
  }
  if (!confirm_writes_) {
    ConfirmThrough(StreamEnd());
  }
  // From when the bytes were handed to the network: the far UART cannot have started them
  // earlier, and a hold the server reports after it sent them then always finds them gone.
  AccountFarLine(count, last_send_at_);
  bool idle = false;
  if (const SysResult waited = WaitForFarLine(deadline, idle); !waited) {
    return waited;
  }
  // Only what has left the far UART counts as written; what it still holds goes when it can.
  const std::uint64_t left = idle ? 0 : far_line_.BytesLeft(line_state_.BaudRate, NowMicros());
  bytes_written = count - static_cast<std::uint32_t>(std::min<std::uint64_t>(left, count));
  if (bytes_written == requested) {
    whole_writes_end_ = line_accounted_;
    whole_bytes_ += requested;
  }
  return SysResult::Ok();
}

SysResult ClientConnection::Drain() {
  if (Lost()) {
    return Fail(lost_error_);
  }
  const TimePoint deadline =
      After(WriteLimitMs(timeouts_, QueuedOutput(), options_.unlimited_wait_cap_ms));
  if (const SysResult sent = WaitFor([this] { return QueuedOutput() == 0; }, deadline); !sent) {
    return sent;
  }
  bool idle = false;
  if (const SysResult waited = WaitForFarLine(deadline, idle); !waited) {
    return waited;
  }
  return idle ? SysResult::Ok() : Fail(ETIMEDOUT);
}

SysResult ClientConnection::WaitForFarLine(TimePoint deadline, bool& idle) {
  // Nothing arrives when the far line empties, so wake up for it rather than for the socket.
  for (;;) {
    if (Lost()) {
      return Fail(lost_error_);
    }
    const std::uint64_t now = NowMicros();
    idle = far_line_.Idle(now);
    if (idle) {
      return SysResult::Ok();
    }
    std::uint32_t wait = MillisecondsUntil(deadline);
    if (wait == 0) {
      return SysResult::Ok();
    }
    if (!far_line_.Held()) {
      // The socket's waits are in whole milliseconds: wait the whole ones for the socket, then
      // the rest on the clock, so that the next write finds the far line idle the moment it is
      // (rounding up would leave the line idle for most of a millisecond every write).
      const std::uint64_t idle_in_us = far_line_.IdleAt() - now;
      if (idle_in_us < 1000) {
        const Clock::Micros until_deadline = deadline > now ? deadline - now : 0;
        clock_.SleepFor(std::min<Clock::Micros>(idle_in_us, until_deadline));
        continue;
      }
      wait = static_cast<std::uint32_t>(std::min<std::uint64_t>(wait, idle_in_us / 1000));
    }
    Step(wait);
  }
}

// --- The far line, estimated -----------------------------------------------------------------

bool ClientConnection::FarLineHeld() const {
  const bool hardware_flow = (line_state_.flags & kDcbOutxCtsFlow) != 0;
  return suspended_ || (hardware_flow && (modem_state_ & kModemCts) == 0);
}

void ClientConnection::AccountFarLine(std::uint32_t bytes, std::uint64_t handed_at) {
  line_accounted_ += bytes;
  far_line_.Account(bytes, line_state_.BaudRate, handed_at);
}

void ClientConnection::UpdateFarLineHold() {
  far_line_.SetHeld(FarLineHeld(), line_state_.BaudRate, NowMicros());
}

}  // namespace tovrel::rfc2217
