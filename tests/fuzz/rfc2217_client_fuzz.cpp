// The RFC 2217 client through its real connection code, against a server played from the fuzz
// input on a virtual clock: arbitrary bytes in arbitrary pieces at arbitrary moments (endless
// sub-negotiations, IAC anywhere, contradicting acknowledgements, notifications and flow-control
// requests in the middle of an exchange), a server that stops reading or drops the connection,
// while the client is driven through every operation the serial API makes of it.
//
// Properties checked on every input:
//  - what the client sends is Telnet whose data is, for each write in turn, the bytes of the
//    write that went to the network (never fewer than the write reported written: a write counts
//    what has left the far UART, and bytes of it that have not yet still go), and whose
//    sub-negotiations are the client's own COM-PORT-OPTION requests;
//  - the client never sends more negotiations than its five requests plus one answer for each
//    negotiation received, so that two ends can never echo each other in a loop;
//  - every operation returns within the time its limits give it (on the virtual clock), however
//    late the server answers the requests the client sends without waiting, if ever;
//  - the bytes the client says are not known to have reached the device are never more than
//    its writes took;
//  - a read never reports more bytes than asked, and the modem status only the line bits;
//  - the heap held stays below a fixed bound however much the server sends.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "core/clock.h"
#include "fuzz_input.h"
#include "fuzz_support.h"
#include "rfc2217/telnet_codec.h"
#include "serial/rfc2217/client_connection.h"
#include "serial/timeout_rules.h"
#include "tests/support/scripted_peer.h"

namespace tovrel::fuzz {
namespace {

using testing::BorrowedStream;
using testing::ScriptedPeer;

using rfc2217::ComPortCommand;
using rfc2217::ComPortRole;
using telnet::Verb;

// What the connection may hold: its receive buffer, and room for the rest of its state.
constexpr std::size_t kHeapBound = rfc2217::kReceiveBufferLimit + (512u << 10);
// The most a flood from the server may carry, so that one input stays quick.
constexpr std::uint64_t kMaxFloodBytes = 2u << 20;
// Slack on each operation's time limit: the rounding of one wait.
constexpr Clock::Micros kSlackMicros = 2000;
// The client's own negotiation requests when it opens.
constexpr std::uint64_t kOpeningRequests = 5;

std::uint64_t Ms(std::uint64_t ms) {
  return ms * 1000u;
}

// Counts the negotiations in the bytes the server sends.
class NegotiationCounter final : public telnet::DecoderSink {
 public:
  void OnData(const std::uint8_t*, std::size_t) override {}
  void OnNegotiation(Verb, std::uint8_t) override { ++count; }
  void OnSubnegotiation(std::uint8_t, const std::uint8_t*, std::size_t) override {}
  std::uint64_t count = 0;
};

// Decodes what the client sends and checks it against what its writes reported.
class ClientOutput final : public telnet::DecoderSink {
 public:
  void OnData(const std::uint8_t* bytes, std::size_t count) override {
    for (std::size_t i = 0; i < count; ++i) {
      TOVREL_FUZZ_CHECK(!written.empty());
      TOVREL_FUZZ_CHECK(written.front() == bytes[i]);
      written.pop_front();
      ++seen;
    }
  }
  void OnNegotiation(Verb, std::uint8_t) override { ++negotiations; }
  void OnSubnegotiation(std::uint8_t option, const std::uint8_t* payload,
                        std::size_t length) override {
    rfc2217::ComPortMessage message;
    TOVREL_FUZZ_CHECK(option == telnet::kOptionComPort);
    TOVREL_FUZZ_CHECK(rfc2217::ParseComPort(payload, length, message));
    TOVREL_FUZZ_CHECK(!message.from_server);
    if (requests.size() < 4096) {
      requests.push_back(std::move(message));
    }
  }

  // Handed to writes (and, once a write has returned, those that went), not yet seen on the
  // wire; `seen` counts the bytes ever taken out.
  std::deque<std::uint8_t> written;
  std::uint64_t seen = 0;
  std::uint64_t negotiations = 0;
  // The client's requests not yet answered by the script, oldest first.
  std::deque<rfc2217::ComPortMessage> requests;
};

// Follows the client's raw output far enough to tell whether it ends in the first half of a
// doubled 0xFF, whose data byte the decoder reports only once the second half has come.
class WireEnd {
 public:
  void Feed(const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      Take(bytes[i]);
    }
  }
  bool HalfIac() const { return state_ == State::kAfterIac; }

 private:
  enum class State { kData, kAfterIac, kVerb, kSbOption, kSb, kSbAfterIac };

  void Take(std::uint8_t byte) {
    switch (state_) {
      case State::kData:
        state_ = byte == telnet::kIac ? State::kAfterIac : State::kData;
        break;
      case State::kAfterIac:
        state_ = byte >= telnet::kCommandWill && byte <= telnet::kCommandDont ? State::kVerb
                 : byte == telnet::kSb                                        ? State::kSbOption
                                                                              : State::kData;
        break;
      case State::kVerb:
        state_ = State::kData;
        break;
      case State::kSbOption:
        state_ = State::kSb;
        break;
      case State::kSb:
        state_ = byte == telnet::kIac ? State::kSbAfterIac : State::kSb;
        break;
      case State::kSbAfterIac:
        state_ = byte == telnet::kSe ? State::kData : State::kSb;
        break;
    }
  }

  State state_ = State::kData;
};

std::uint32_t PickTimeout(FuzzInput& input) {
  static constexpr std::uint32_t kValues[] = {0, 1, 10, 100, 1000, 15000, kMaxDword};
  const std::uint8_t pick = input.Byte();
  return pick < sizeof kValues / sizeof kValues[0] ? kValues[pick] : input.Number16();
}

DCB PickLineState(FuzzInput& input) {
  static constexpr std::uint32_t kRates[] = {0, 300, 9600, 38400, 115200, 230400, 0xFFFFFFFFu};
  DCB state;
  const std::uint8_t pick = input.Byte();
  state.BaudRate = pick < sizeof kRates / sizeof kRates[0] ? kRates[pick] : input.Number32();
  state.ByteSize = static_cast<std::uint8_t>(input.Byte() % 10u);
  state.Parity = static_cast<std::uint8_t>(input.Byte() % 6u);
  state.StopBits = static_cast<std::uint8_t>(input.Byte() % 4u);
  state.flags = input.Number16();
  return state;
}

// The answers of a server that agrees to everything the client asks when it opens.
std::vector<std::uint8_t> AgreeingOpening() {
  std::vector<std::uint8_t> wire;
  telnet::AppendNegotiation(wire, Verb::kDo, telnet::kOptionComPort);
  telnet::AppendNegotiation(wire, Verb::kDo, telnet::kOptionBinary);
  telnet::AppendNegotiation(wire, Verb::kWill, telnet::kOptionBinary);
  telnet::AppendNegotiation(wire, Verb::kDo, telnet::kOptionSuppressGoAhead);
  telnet::AppendNegotiation(wire, Verb::kWill, telnet::kOptionSuppressGoAhead);
  return wire;
}

std::vector<std::uint8_t> SettingsAnswers(std::uint8_t modem_state) {
  std::vector<std::uint8_t> wire;
  rfc2217::AppendComPortByte(wire, ComPortRole::kServer, ComPortCommand::kSetModemStateMask, 0xFF);
  rfc2217::AppendSetBaudRate(wire, ComPortRole::kServer, 115200);
  rfc2217::AppendComPortByte(wire, ComPortRole::kServer, ComPortCommand::kSetDataSize, 8);
  rfc2217::AppendComPortByte(wire, ComPortRole::kServer, ComPortCommand::kSetParity,
                             rfc2217::kParityNone);
  rfc2217::AppendComPortByte(wire, ComPortRole::kServer, ComPortCommand::kSetStopSize,
                             rfc2217::kStopOne);
  rfc2217::AppendComPortByte(wire, ComPortRole::kServer, ComPortCommand::kSetControl,
                             rfc2217::kControlHardwareFlow);
  rfc2217::AppendComPortByte(wire, ComPortRole::kServer, ComPortCommand::kNotifyModemState,
                             modem_state);
  return wire;
}

class ClientRun {
 public:
  explicit ClientRun(FuzzInput& input) : input_(input), peer_(clock_) {
    peer_.on_sent = [this](const std::uint8_t* bytes, std::size_t count) {
      output_decoder_.Feed(bytes, count, output_);
      wire_.Feed(bytes, count);
    };
    peer_.on_received = [this](const std::uint8_t* bytes, std::size_t count) {
      received_decoder_.Feed(bytes, count, received_);
    };
    heap_base_ = HeapBytesInUse();
  }

  void Run() {
    const std::uint8_t opening = input_.Byte();
    if ((opening & 1u) != 0) {
      Deliver(AgreeingOpening());
    }
    if ((opening & 2u) != 0) {
      // A moment later, so that they answer the questions the open asks.
      Deliver(SettingsAnswers(input_.Byte()), 1, Ms(1));
    }
    while (!input_.Empty()) {
      if (!Next()) {
        break;
      }
      CheckHeap();
    }
    if (open_) {
      connection_.Close();
    }
    CheckHeap();
    // Every byte of a write that went was seen on the wire, but for a 0xFF whose second half a
    // write cut short leaves queued and a lost connection never sends.
    TOVREL_FUZZ_CHECK(output_.written.size() <= 1);
    TOVREL_FUZZ_CHECK(output_.written.empty() || output_.written.front() == telnet::kIac);
    TOVREL_FUZZ_CHECK(output_.negotiations <= kOpeningRequests + received_.count);
  }

 private:
  void Deliver(const std::vector<std::uint8_t>& bytes, std::uint32_t repeat = 1,
               Clock::Micros delay = 0, std::size_t piece = 0) {
    peer_.Deliver(bytes, repeat, delay, piece);
  }

  void CheckHeap() const {
    const std::size_t in_use = HeapBytesInUse();
    TOVREL_FUZZ_CHECK(in_use <= heap_base_ + kHeapBound + 8u * input_size_bound_);
  }

  // Carries out one step of the script; false once the run cannot go on.
  bool Next() {
    const std::uint8_t op = input_.Byte();
    switch (op % 20u) {
      case 0:
      case 1:
      case 2: {
        const Clock::Micros delay = Ms(input_.Byte()) * 4u;
        const std::size_t piece = input_.Byte() % 8u;
        std::vector<std::uint8_t> bytes = input_.SizedBytes();
        input_size_bound_ += bytes.size();
        Deliver(bytes, 1, delay, piece);
        return true;
      }
      case 3: {  // a flood: one chunk over and over, an endless sub-negotiation for instance
        std::vector<std::uint8_t> chunk = input_.SizedBytes();
        if (chunk.empty()) {
          return true;
        }
        const std::uint64_t most = kMaxFloodBytes / chunk.size();
        // A power of two and a bit more, so that small floods are as likely as huge ones.
        const std::uint64_t power = std::uint64_t{1} << (input_.Byte() % 17u);
        const auto repeat =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(power + input_.Byte(), most));
        input_size_bound_ += chunk.size();
        Deliver(chunk, repeat, Ms(input_.Byte()), 0);
        return true;
      }
      case 4: {  // a well-formed server message, right or wrong for what was asked
        const auto code = static_cast<ComPortCommand>(input_.Byte() % 13u);
        const std::vector<std::uint8_t> value = input_.Bytes(input_.Byte() % 6u);
        std::vector<std::uint8_t> wire;
        rfc2217::AppendComPort(wire, input_.Bit() ? ComPortRole::kServer : ComPortRole::kClient,
                               code, value.data(), value.size());
        Deliver(wire, 1, Ms(input_.Byte()));
        return true;
      }
      case 5: {
        static constexpr std::uint8_t kOptions[] = {telnet::kOptionBinary, telnet::kOptionEcho,
                                                    telnet::kOptionSuppressGoAhead,
                                                    telnet::kOptionComPort};
        const auto verb = static_cast<Verb>(telnet::kCommandWill + input_.Byte() % 4u);
        const std::uint8_t pick = input_.Byte();
        const std::uint8_t option = pick < 4 ? kOptions[pick] : pick;
        std::vector<std::uint8_t> wire;
        telnet::AppendNegotiation(wire, verb, option);
        Deliver(wire, 1, Ms(input_.Byte()));
        return true;
      }
      case 6:
        peer_.SetSendAllowance(input_.Byte());
        return true;
      case 7:
        peer_.StallSends(Ms(input_.Number16()));
        return true;
      case 18: {  // answers to the client's oldest requests, as a server would give them, late
        std::vector<std::uint8_t> wire;
        for (std::uint8_t n = input_.Byte() % 16u; n > 0 && !output_.requests.empty(); --n) {
          rfc2217::ComPortMessage request = std::move(output_.requests.front());
          output_.requests.pop_front();
          if (input_.Bit()) {
            continue;  // this one never
          }
          rfc2217::AppendComPort(wire, ComPortRole::kServer, request.command, request.value.data(),
                                 request.value.size());
        }
        Deliver(wire, 1, Ms(input_.Number16()));
        return true;
      }
      case 8: {
        const bool broken = input_.Bit();
        peer_.End(broken ? net::IoStatus::kFailed : net::IoStatus::kClosed, input_.Byte(),
                  Ms(input_.Byte()));
        return true;
      }
      default:
        return ClientOperation(op % 20u);
    }
  }

  bool Open() {
    if (open_) {
      return true;
    }
    const Clock::Micros start = clock_.Now();
    open_ = static_cast<bool>(connection_.OpenOver(std::make_unique<BorrowedStream>(peer_)));
    TOVREL_FUZZ_CHECK(clock_.Now() - start <=
                      Ms(options_.negotiation_timeout_ms + options_.settle_timeout_ms) +
                          2 * kSlackMicros);
    return open_;
  }

  // What each operation returns is the server's doing; the properties are checked below and
  // through what the client sent, so results are left unchecked with (void).
  bool ClientOperation(std::uint32_t op) {
    if (!Open()) {
      return false;
    }
    const Clock::Micros start = clock_.Now();
    std::uint64_t limit_ms = 0;
    switch (op) {
      case 9: {
        (void)connection_.SetLineState(PickLineState(input_));
        limit_ms = options_.reply_timeout_ms;
        break;
      }
      case 10: {
        COMMTIMEOUTS timeouts;
        timeouts.ReadIntervalTimeout = PickTimeout(input_);
        timeouts.ReadTotalTimeoutMultiplier = PickTimeout(input_);
        timeouts.ReadTotalTimeoutConstant = PickTimeout(input_);
        timeouts.WriteTotalTimeoutMultiplier = PickTimeout(input_);
        timeouts.WriteTotalTimeoutConstant = PickTimeout(input_);
        connection_.SetTimeouts(timeouts);
        break;
      }
      case 11: {
        std::uint32_t status = 0;
        if (connection_.ModemStatus(status)) {
          TOVREL_FUZZ_CHECK((status & ~std::uint32_t{0xF0}) == 0);
        }
        break;
      }
      case 12:
        (void)connection_.ClearDtr();
        limit_ms = options_.reply_timeout_ms;
        break;
      case 13:
        (void)connection_.Purge(input_.Byte() & 0x0Fu);
        limit_ms = options_.reply_timeout_ms;
        break;
      case 14:
        (void)connection_.ClearErrors();
        break;
      case 15: {
        const std::uint32_t count = input_.Number16() % 4097u;
        std::vector<std::uint8_t> buffer(count);
        std::uint32_t got = 0;
        (void)connection_.Read(buffer.data(), count, got);
        TOVREL_FUZZ_CHECK(got <= count);
        const ReadPlan plan =
            PlanRead(connection_.Timeouts(), count, options_.unlimited_wait_cap_ms);
        limit_ms = plan.mode == ReadMode::kReturnAtOnce ? 0 : plan.total_ms;
        break;
      }
      case 16: {
        std::vector<std::uint8_t> bytes = input_.SizedBytes();
        input_size_bound_ += bytes.size();
        // Longer writes than one chunk of the input: the chunk over again.
        const std::size_t times = 1u + input_.Byte() % 16u;
        std::vector<std::uint8_t> data;
        for (std::size_t i = 0; i < times; ++i) {
          data.insert(data.end(), bytes.begin(), bytes.end());
        }
        // The bytes go out during the write: expect all of them, then take back those that did
        // not go. Seen on the wire are the bytes that went, but for a 0xFF whose second half is
        // still queued.
        const std::size_t ahead = output_.written.size();
        const std::uint64_t seen_before = output_.seen;
        output_.written.insert(output_.written.end(), data.begin(), data.end());
        std::uint32_t written = 0;
        (void)connection_.Write(data.data(), static_cast<std::uint32_t>(data.size()), written);
        TOVREL_FUZZ_CHECK(written <= data.size());
        bytes_written_ += written;
        const std::uint64_t seen_during = output_.seen - seen_before;
        const std::size_t seen_of_this = seen_during > ahead ? seen_during - ahead : 0u;
        const std::size_t gone = seen_of_this + (wire_.HalfIac() ? 1u : 0u);
        TOVREL_FUZZ_CHECK(gone <= data.size());
        TOVREL_FUZZ_CHECK(gone >= written);
        output_.written.resize(output_.written.size() - (data.size() - gone));
        limit_ms =
            WriteLimitMs(connection_.Timeouts(), data.size(), options_.unlimited_wait_cap_ms);
        break;
      }
      case 19: {
        std::uint64_t unconfirmed = 0;
        (void)connection_.ConfirmOutput(unconfirmed);
        TOVREL_FUZZ_CHECK(unconfirmed <= bytes_written_);
        limit_ms = options_.reply_timeout_ms + WriteLimitMs(connection_.Timeouts(), bytes_written_,
                                                            options_.unlimited_wait_cap_ms);
        break;
      }
      case 17: {
        (void)connection_.Drain();
        // The drain's limit counts what is queued, which is not seen from here: at most every
        // byte the input could have made the client queue.
        limit_ms =
            WriteLimitMs(connection_.Timeouts(), kMaxFloodBytes, options_.unlimited_wait_cap_ms);
        break;
      }
      default:
        break;
    }
    const std::uint64_t longest = std::min<std::uint64_t>(limit_ms, 2000000000u);
    TOVREL_FUZZ_CHECK(clock_.Now() - start <= Ms(longest) + kSlackMicros);
    return true;
  }

  FuzzInput& input_;
  VirtualClock clock_;
  ScriptedPeer peer_;
  rfc2217::ClientOptions options_;
  rfc2217::ClientConnection connection_{options_, clock_};
  bool open_ = false;

  telnet::Decoder output_decoder_;
  ClientOutput output_;
  WireEnd wire_;
  // The server's negotiations, counted as the client took them in.
  telnet::Decoder received_decoder_;
  NegotiationCounter received_;

  std::size_t heap_base_ = 0;
  std::size_t input_size_bound_ = 0;
  std::uint64_t bytes_written_ = 0;  // as the writes reported
};

}  // namespace
}  // namespace tovrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tovrel::fuzz::FuzzInput input(data, size);
  tovrel::fuzz::ClientRun run(input);
  run.Run();
  return 0;
}
