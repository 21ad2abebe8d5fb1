// One remote serial port reached over RFC 2217: the TCP connection, the Telnet state of both
// ends, and the port's local side (received data, time-outs, line state, modem lines).
//
// What the far UART does cannot be seen from here, so a few Win32 behaviours are approximated:
//  - Whether the far UART has sent a byte is not reported by the protocol, so a write hands its
//    bytes to the socket and then waits for the time the far line needs to send them (10 bit
//    times a byte at the rate in force), a time that stands still while hardware flow control
//    holds the far UART (CTS reported off, or our data suspended). A write whose time-out runs
//    out first counts only the bytes the estimate says have left; the rest cannot be called
//    back and still go when the far UART is free. Drain waits in the same way for anything
//    still under way. That keeps the host from running ahead of the device by more than the
//    estimate's error, and the waits are bounded by the write time-outs like a local port's.
//  - Nothing waits on the network unless a reply is read: the connection is one ordered stream
//    and the server carries out a request before it reads the bytes behind it. A receive purge
//    is sent and not waited for; what arrives before its acknowledgement is dropped, so a reply
//    read later waits for the acknowledgement as it waits for the reply itself. Each write is
//    followed by a question (SET-DATASIZE 0, the data size in force) whose answer shows that
//    the write reached the server. Writes the server has not yet shown it has are kept to
//    about a second of line time (unconfirmed_window_ms); past that a write waits for answers.
//  - A request left unanswered for the whole reply time-out, waited for or not, means the
//    server is gone: the connection is lost with ETIMEDOUT. A wait with nothing asked (on a
//    line the device holds) asks the same question after a second without a word from the
//    server, so that a server that stops is noticed there too.
//  - ConfirmOutput tells how many written bytes are not known to have reached the device: a
//    byte counts once the server has shown that it has it and both estimates of the far line,
//    one from when the byte went, one from when the server showed it had it, say it has left.
//  - The modem lines are those of the server's last NOTIFY-MODEMSTATE, so a change is seen one
//    network delay late; until the first report every line reads as off.
//  - Received NUL bytes are dropped here (fNull), on arrival, as a driver does.
//  - Received data is kept up to kReceiveBufferLimit bytes; more is lost, as in a driver's
//    overrun, until it is read.
//
// Every operation returns a SysResult: success, or failure with an errno number:
// EINVAL (bad port name or a line state the protocol cannot carry), ENOENT (host not found),
// ECONNREFUSED / EHOSTUNREACH / ETIMEDOUT (connection), EPROTONOSUPPORT (the server refused
// COM-PORT-OPTION or binary transmission), ETIMEDOUT (an awaited answer did not come), EIO (the
// server acknowledged something other than what was asked), ECONNRESET / EPIPE (connection
// lost: every later operation fails with the same number).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/serial_types.h"
#include "rfc2217/byte_stream.h"
#include "rfc2217/socket_layer.h"
#include "rfc2217/telnet_codec.h"
#include "serial/rfc2217/awaited_replies.h"
#include "serial/rfc2217/client_options.h"
#include "serial/rfc2217/far_line_estimate.h"
#include "serial/rfc2217/port_name.h"
#include "serial/sys_result.h"

namespace tovrel::rfc2217 {

inline constexpr std::size_t kReceiveBufferLimit = 1u << 20;

// The SET-MODEMSTATE-MASK sent after the open: every line and every change, so that each report
// carries the whole state of the lines (a server reports the state ANDed with the mask).
inline constexpr std::uint8_t kModemStateMask = 0xFF;

class ClientConnection final : private telnet::DecoderSink {
 public:
  // Every deadline and the far-line estimate are kept on `clock`, which must be the clock the
  // connection's waits move: the system's clock for a socket, a virtual one for a scripted peer.
  ClientConnection(const ClientOptions& options, Clock& clock);

  // Connects, negotiates, asks for the modem lines and the settings in force.
  SysResult Open(const RemotePortAddress& address);
  // The same over a connection already made.
  SysResult OpenOver(std::unique_ptr<net::ByteStream> stream);
  // Closes the connection; the object is then unusable.
  void Close();

  // Sends the line state and waits for the server to acknowledge every part of it.
  SysResult SetLineState(const DCB& state);
  // The line state in force: what the server acknowledged, plus the fields kept locally.
  const DCB& LineState() const { return line_state_; }
  void SetTimeouts(const COMMTIMEOUTS& timeouts) { timeouts_ = timeouts; }
  const COMMTIMEOUTS& Timeouts() const { return timeouts_; }

  // MS_* bits of the last reported modem state, after taking in whatever has already arrived.
  SysResult ModemStatus(std::uint32_t& status);
  SysResult ClearDtr();
  SysResult Purge(std::uint32_t purge_flags);
  // Takes in pending input; fails only when the connection is lost.
  SysResult ClearErrors();
  SysResult Read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytes_read);
  SysResult Write(const std::uint8_t* bytes, std::uint32_t count, std::uint32_t& bytes_written);
  SysResult Drain();
  // Waits, within the reply time-out for the server's answers and the write time-outs for the
  // far line, until every byte written is known to have reached the far UART and left it, and
  // tells how many are not known to have. False when the connection is lost; the count then
  // holds what the server never confirmed.
  SysResult ConfirmOutput(std::uint64_t& unconfirmed_bytes);

 private:
  using TimePoint = Clock::Micros;

  // DecoderSink
  void OnData(const std::uint8_t* bytes, std::size_t count) override;
  void OnNegotiation(telnet::Verb verb, std::uint8_t option) override;
  void OnSubnegotiation(std::uint8_t option, const std::uint8_t* payload,
                        std::size_t length) override;

  SysResult Fail(std::uint32_t error);
  bool Lost() const { return lost_error_ != 0; }
  void Lose(std::uint32_t error);

  // One round of I/O: sends what is queued and, when some of it went, returns so that the
  // caller looks first; otherwise waits up to `wait_ms` for input or room to send, and takes in
  // everything that has arrived.
  void Step(std::uint32_t wait_ms);
  void SendQueued();
  void ReceiveAvailable();
  // Runs Step until `done` holds, the deadline passes (false, ETIMEDOUT) or the connection is
  // lost (false, its error); with kUntilStopped also until a stop is requested (false, EINTR).
  enum class Stoppable { kNo, kUntilStopped };
  SysResult WaitFor(const std::function<bool()>& done, TimePoint deadline,
                    Stoppable stoppable = Stoppable::kNo);
  bool StopRequested() const {
    return options_.interruption != nullptr && options_.interruption->Requested();
  }
  TimePoint After(std::uint64_t milliseconds);
  std::uint32_t MillisecondsUntil(TimePoint deadline);
  // The clock of the far-line estimate, in microseconds.
  std::uint64_t NowMicros() { return clock_.Now(); }

  // Queues COM-PORT-OPTION requests and waits for their acknowledgements. False when one is
  // contradicted (awaited.Contradicted()) or the connection is lost. A server that leaves a
  // request unanswered for the whole reply time-out is taken as gone: the connection is lost
  // with ETIMEDOUT, so that this and every later operation fail at once instead of each
  // waiting out its own time-out.
  SysResult Exchange(AwaitedReplies& awaited);
  SysResult Negotiate();
  SysResult AwaitSettings();

  std::size_t QueuedOutput() const { return out_.size() - out_sent_; }

  // The far line's progress, estimated.
  bool FarLineHeld() const;
  void AccountFarLine(std::uint32_t bytes, std::uint64_t handed_at);
  void UpdateFarLineHold();
  // Waits until the estimate says the far line is idle (true) or the deadline passes (false,
  // not a failure: the caller decides); fails only when the connection is lost.
  SysResult WaitForFarLine(TimePoint deadline, bool& idle);
  std::uint64_t SentPosition() const { return out_origin_ + out_sent_; }
  std::uint64_t StreamEnd() const { return out_origin_ + out_.size(); }

  // Queues a request that nobody waits for here; returns its number.
  std::uint64_t Ask(ComPortCommand command, std::uint8_t value);
  // Takes a server message as the answer to the oldest unanswered request of its command.
  bool TakeAnswer(const ComPortMessage& message);
  // Everything before `position` in the stream has reached the server.
  void ConfirmThrough(std::uint64_t position);
  // A request unanswered past its deadline: the server is gone.
  void CheckUnanswered();
  // Whether a write of `count` bytes may go now: not held back by the server, and within the
  // window of writes the server has not yet shown it has.
  bool MayHandOut(std::uint32_t count) const;
  // Bytes of whole writes not known to have left the far UART.
  std::uint64_t InDoubt();

  ClientOptions options_;
  Clock& clock_;
  std::unique_ptr<net::ByteStream> stream_;
  telnet::Decoder decoder_;
  telnet::OptionNegotiator negotiator_;

  // Bytes for the server: out_[out_sent_..] still to go. sent_total_ counts every byte that
  // ever went, and out_origin_ is the position in that count of out_[0].
  std::vector<std::uint8_t> out_;
  std::size_t out_sent_ = 0;
  std::uint64_t out_origin_ = 0;

  std::deque<std::uint8_t> received_;
  // Requests sent without waiting for their answers, oldest first: receive purges, and the
  // question behind each write.
  struct Unanswered {
    ComPortCommand command = ComPortCommand::kPurgeData;
    std::uint8_t value = 0;
    std::uint64_t end = 0;  // the stream position just past the request
    TimePoint deadline = 0;
    std::uint64_t number = 0;
  };
  std::deque<Unanswered> unanswered_;
  std::uint64_t next_request_ = 0;
  TimePoint last_heard_at_ = 0;  // bytes last arrived from the server
  bool exchanging_ = false;      // a batch of requests waits for its answers
  TimePoint last_send_at_ = 0;   // bytes last handed to the network
  // While a receive purge is unanswered, what arrives was sent before it: dropped.
  std::size_t receive_purges_unanswered_ = 0;
  // A caller waiting for one request's answer (a purge that reaches the server's transmit side).
  std::uint64_t awaited_request_ = ~std::uint64_t{0};
  bool awaited_answered_ = false;
  std::uint8_t awaited_answer_ = 0;

  // Writes the server has not yet shown it has: where each ends in the stream, and its bytes.
  struct WrittenSpan {
    std::uint64_t end = 0;
    std::uint64_t bytes = 0;
  };
  std::deque<WrittenSpan> unconfirmed_writes_;
  std::uint64_t unconfirmed_bytes_ = 0;
  // Counted in the bytes the writes put into the stream, in stream order: all of them (as
  // far_line_ has them), those shown to have reached the server, and the end of the last write
  // that reported every byte written, the end of what a caller counts as sent.
  std::uint64_t line_accounted_ = 0;
  std::uint64_t confirmed_bytes_ = 0;
  std::uint64_t whole_writes_end_ = 0;
  std::uint64_t whole_bytes_ = 0;  // the bytes of every whole write
  // The server answers the question behind each write (it answered it when the port opened);
  // otherwise a write counts as confirmed once it has gone.
  bool confirm_writes_ = false;
  std::deque<ComPortMessage> replies_;
  bool suspended_ = false;  // the server asked us to stop sending data
  std::uint8_t modem_state_ = 0;
  bool have_modem_state_ = false;

  FarLineEstimate far_line_;
  // The far line again, with each write starting when the server showed it had it: a write
  // held up on the way (a stalled link) leaves the far UART that much later. Holds are left to
  // far_line_, which sees them on the same time line as the writes.
  FarLineEstimate confirmed_line_;

  DCB line_state_;
  COMMTIMEOUTS timeouts_;
  std::uint32_t lost_error_ = 0;
};

}  // namespace tovrel::rfc2217
