// Telnet (RFC 854/855) and its COM-PORT-OPTION (RFC 2217): the bytes on the wire, without any
// socket. Written to serve both ends of a connection:
//
//  - Decoder turns received bytes, fed in chunks of any size and split anywhere, into data bytes,
//    option negotiations and sub-negotiations, reported in stream order to a DecoderSink.
//  - OptionNegotiator keeps the state of every option on both sides (the "Q method" of RFC 1143,
//    without its queue) and answers the peer's WILL/WONT/DO/DONT: options not allowed are
//    refused, and a request for a state already in force gets no answer, so that two ends never
//    echo each other's negotiations in a loop.
//  - The Append* encoders write data (IAC doubled), negotiations and sub-negotiations, and the
//    COM-PORT-OPTION messages; `ComPortRole` chooses the client's command codes or the server's
//    (command + 100). ParseComPort reads a received COM-PORT-OPTION message back.
//
// A client and a server differ only in the options they allow and the role they encode with:
//
//   client: negotiator.Allow(Side::kLocal, kOptionComPort) ... Request(Side::kLocal,
//   kOptionComPort)
//           AppendComPortByte(out, ComPortRole::kClient, ComPortCommand::kSetDataSize, 8)
//   server: negotiator.Allow(Side::kRemote, kOptionComPort) ... answers with
//           AppendComPortByte(out, ComPortRole::kServer, message.command, value_in_force)
//
// The codec assumes binary transmission (both ends agree to TRANSMIT-BINARY): it does not apply
// the NVT's CR NUL / CR LF rules to data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tovrel::telnet {

// Telnet command bytes.
inline constexpr std::uint8_t kIac = 255;
inline constexpr std::uint8_t kCommandDont = 254;
inline constexpr std::uint8_t kCommandDo = 253;
inline constexpr std::uint8_t kCommandWont = 252;
inline constexpr std::uint8_t kCommandWill = 251;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kGa = 249;
inline constexpr std::uint8_t kNop = 241;
inline constexpr std::uint8_t kSe = 240;

// Options this code base deals with.
inline constexpr std::uint8_t kOptionBinary = 0;
inline constexpr std::uint8_t kOptionEcho = 1;
inline constexpr std::uint8_t kOptionSuppressGoAhead = 3;
inline constexpr std::uint8_t kOptionComPort = 44;

enum class Verb : std::uint8_t { kWill = 251, kWont = 252, kDo = 253, kDont = 254 };

// Longest sub-negotiation payload (option byte excluded) the decoder keeps. COM-PORT-OPTION
// messages are a few bytes; a longer one is dropped whole rather than reported cut short.
inline constexpr std::size_t kMaxSubnegotiationPayload = 512;

// Receives what the decoder finds, in the order it appears in the stream.
class DecoderSink {
 public:
  virtual ~DecoderSink() = default;
  // A run of data bytes, IAC IAC already reduced to one 0xFF.
  virtual void OnData(const std::uint8_t* bytes, std::size_t count) = 0;
  // IAC WILL/WONT/DO/DONT option.
  virtual void OnNegotiation(Verb verb, std::uint8_t option) = 0;
  // IAC SB option payload IAC SE, with IAC IAC in the payload reduced to one 0xFF.
  virtual void OnSubnegotiation(std::uint8_t option, const std::uint8_t* payload,
                                std::size_t length) = 0;
  // Any other IAC command (NOP, GA, BRK, AYT...). Ignored unless overridden.
  virtual void OnCommand(std::uint8_t /*command*/) {}
};

// Incremental decoder of a received Telnet stream. Keeps its state between Feed calls, so a
// chunk may end anywhere, even between IAC and the byte after it.
class Decoder {
 public:
  void Feed(const std::uint8_t* bytes, std::size_t count, DecoderSink& sink);
  // Forgets any half-received command, as at the start of a new connection.
  void Reset();

 private:
  enum class State : std::uint8_t {
    kData,        // plain data
    kAfterIac,    // after IAC
    kVerb,        // after IAC WILL/WONT/DO/DONT, expecting the option
    kSbOption,    // after IAC SB, expecting the option
    kSbPayload,   // inside a sub-negotiation
    kSbAfterIac,  // after IAC inside a sub-negotiation
  };

  void FlushData(const std::uint8_t* bytes, std::size_t begin, std::size_t end, DecoderSink& sink);

  State state_ = State::kData;
  std::uint8_t verb_ = 0;
  std::uint8_t sb_option_ = 0;
  bool sb_overflow_ = false;
  std::vector<std::uint8_t> sb_payload_;
};

// Which end of an option: kLocal is this end doing it (we send WILL/WONT, the peer DO/DONT);
// kRemote is the peer doing it (we send DO/DONT, the peer WILL/WONT).
enum class Side : std::uint8_t { kLocal, kRemote };

class OptionNegotiator {
 public:
  // Lets `option` be enabled on `side` when the peer asks; every other option is refused.
  void Allow(Side side, std::uint8_t option);
  // Asks for `option` to be enabled on `side` (WILL for kLocal, DO for kRemote), appending the
  // request to `out`; nothing when it is already on or already asked for.
  void Request(Side side, std::uint8_t option, std::vector<std::uint8_t>& out);
  // Asks for `option` to be disabled on `side` (WONT / DONT); nothing when already off.
  void Disable(Side side, std::uint8_t option, std::vector<std::uint8_t>& out);
  // Takes a received negotiation and appends the answer that is due, if any, to `out`.
  void Receive(Verb verb, std::uint8_t option, std::vector<std::uint8_t>& out);

  bool IsEnabled(Side side, std::uint8_t option) const;
  // True while a request of ours has not been answered.
  bool IsPending(Side side, std::uint8_t option) const;

 private:
  enum class State : std::uint8_t { kNo, kYes, kWantNo, kWantYes };
  struct Sides {
    std::array<State, 256> state{};
    std::array<bool, 256> allowed{};
  };

  Sides& Of(Side side) { return side == Side::kLocal ? local_ : remote_; }
  const Sides& Of(Side side) const { return side == Side::kLocal ? local_ : remote_; }
  void Enable(Side side, std::uint8_t option, bool allowed, std::vector<std::uint8_t>& out);
  void Disabled(Side side, std::uint8_t option, std::vector<std::uint8_t>& out);

  Sides local_;
  Sides remote_;
};

// --- Encoders: each appends complete, escaped wire bytes to `out`. ---------------------------

// Data bytes, every 0xFF doubled.
void AppendData(std::vector<std::uint8_t>& out, const std::uint8_t* bytes, std::size_t count);
// IAC verb option.
void AppendNegotiation(std::vector<std::uint8_t>& out, Verb verb, std::uint8_t option);
// IAC SB option payload IAC SE, every 0xFF of the payload doubled.
void AppendSubnegotiation(std::vector<std::uint8_t>& out, std::uint8_t option,
                          const std::uint8_t* payload, std::size_t length);

}  // namespace tovrel::telnet

namespace tovrel::rfc2217 {

// COM-PORT-OPTION commands as the client sends them; the server answers with the same command
// plus kServerOffset.
enum class ComPortCommand : std::uint8_t {
  kSignature = 0,
  kSetBaudRate = 1,
  kSetDataSize = 2,
  kSetParity = 3,
  kSetStopSize = 4,
  kSetControl = 5,
  kNotifyLineState = 6,
  kNotifyModemState = 7,
  kFlowControlSuspend = 8,
  kFlowControlResume = 9,
  kSetLineStateMask = 10,
  kSetModemStateMask = 11,
  kPurgeData = 12,
};
inline constexpr std::uint8_t kServerOffset = 100;

enum class ComPortRole : std::uint8_t { kClient, kServer };

// SET-PARITY values (0 asks for the value in force).
inline constexpr std::uint8_t kParityNone = 1;
inline constexpr std::uint8_t kParityOdd = 2;
inline constexpr std::uint8_t kParityEven = 3;
inline constexpr std::uint8_t kParityMark = 4;
inline constexpr std::uint8_t kParitySpace = 5;

// SET-STOPSIZE values (0 asks).
inline constexpr std::uint8_t kStopOne = 1;
inline constexpr std::uint8_t kStopTwo = 2;
inline constexpr std::uint8_t kStopOneAndHalf = 3;

// SET-CONTROL values.
inline constexpr std::uint8_t kControlRequestFlow = 0;
inline constexpr std::uint8_t kControlNoFlow = 1;
inline constexpr std::uint8_t kControlXonXoffFlow = 2;
inline constexpr std::uint8_t kControlHardwareFlow = 3;
inline constexpr std::uint8_t kControlRequestBreak = 4;
inline constexpr std::uint8_t kControlBreakOn = 5;
inline constexpr std::uint8_t kControlBreakOff = 6;
inline constexpr std::uint8_t kControlRequestDtr = 7;
inline constexpr std::uint8_t kControlDtrOn = 8;
inline constexpr std::uint8_t kControlDtrOff = 9;
inline constexpr std::uint8_t kControlRequestRts = 10;
inline constexpr std::uint8_t kControlRtsOn = 11;
inline constexpr std::uint8_t kControlRtsOff = 12;
inline constexpr std::uint8_t kControlRequestInboundFlow = 13;
inline constexpr std::uint8_t kControlInboundNoFlow = 14;
inline constexpr std::uint8_t kControlInboundXonXoffFlow = 15;
inline constexpr std::uint8_t kControlInboundHardwareFlow = 16;
inline constexpr std::uint8_t kControlDcdFlow = 17;
inline constexpr std::uint8_t kControlDtrFlow = 18;
inline constexpr std::uint8_t kControlDsrFlow = 19;

// NOTIFY-MODEMSTATE / SET-MODEMSTATE-MASK bits.
inline constexpr std::uint8_t kModemCd = 0x80;
inline constexpr std::uint8_t kModemRi = 0x40;
inline constexpr std::uint8_t kModemDsr = 0x20;
inline constexpr std::uint8_t kModemCts = 0x10;
inline constexpr std::uint8_t kModemDeltaCd = 0x08;
inline constexpr std::uint8_t kModemTrailingRi = 0x04;
inline constexpr std::uint8_t kModemDeltaDsr = 0x02;
inline constexpr std::uint8_t kModemDeltaCts = 0x01;

// PURGE-DATA values.
inline constexpr std::uint8_t kPurgeReceive = 1;   // the access server's receive buffer
inline constexpr std::uint8_t kPurgeTransmit = 2;  // the access server's transmit buffer
inline constexpr std::uint8_t kPurgeBoth = 3;

// One received COM-PORT-OPTION message.
struct ComPortMessage {
  ComPortCommand command = ComPortCommand::kSignature;
  bool from_server = false;  // the code carried kServerOffset
  std::vector<std::uint8_t> value;

  // The first value byte, or 0 when there is none.
  std::uint8_t Byte() const { return value.empty() ? std::uint8_t{0} : value[0]; }
  // The value as a 4-byte big-endian number (SET-BAUDRATE); false when it is not 4 bytes.
  bool BigEndian32(std::uint32_t& number) const;
};

// Reads the payload of an IAC SB COM-PORT-OPTION ... IAC SE (the bytes after the option byte).
// False when it is empty or its code is neither a client's (0-12) nor a server's (100-112).
bool ParseComPort(const std::uint8_t* payload, std::size_t length, ComPortMessage& message);

// IAC SB COM-PORT-OPTION code value... IAC SE, code = command (+ 100 for the server).
void AppendComPort(std::vector<std::uint8_t>& out, ComPortRole role, ComPortCommand command,
                   const std::uint8_t* value, std::size_t length);
// The same with a one-byte value (data size, parity, stop size, control, masks, purge).
void AppendComPortByte(std::vector<std::uint8_t>& out, ComPortRole role, ComPortCommand command,
                       std::uint8_t value);
// SET-BAUDRATE with the rate as 4 bytes, most significant first (0 asks for the rate in force).
void AppendSetBaudRate(std::vector<std::uint8_t>& out, ComPortRole role, std::uint32_t rate);

}  // namespace tovrel::rfc2217
