// The emulator server's session with one client, against a client played from the fuzz input
// on a virtual clock: arbitrary bytes in arbitrary pieces and moments (negotiations,
// COM-PORT-OPTION requests of every kind and length, device commands, floods), a client that
// stops reading, comes back, or drops the connection; the device behind the UART with its fault
// knobs set from the input.
//
// Properties checked on every input:
//  - what the session sends is Telnet whose sub-negotiations are the server's COM-PORT-OPTION
//    messages, whose data never exceeds what the device sent, and whose negotiations never
//    outnumber the session's five requests plus one answer for each negotiation received;
//  - the device never receives more data bytes than the client sent;
//  - a step never lets more time pass than it was given;
//  - once the client has closed the connection, the session finishes within a bounded time,
//    however slow the line and whether or not it still moves;
//  - the heap held stays below a fixed bound however much the client sends.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/clock.h"
#include "emulator/device_config.h"
#include "emulator/server/client_session.h"
#include "fuzz_input.h"
#include "fuzz_support.h"
#include "rfc2217/telnet_codec.h"
#include "tests/support/scripted_peer.h"

namespace tovrel::fuzz {
namespace {

using testing::BorrowedStream;
using testing::ScriptedPeer;

using rfc2217::ComPortCommand;
using rfc2217::ComPortRole;
using telnet::Verb;

// The device keeps an image of up to this many bytes here.
constexpr std::uint32_t kMaxImageBytes = 64u * 1024u;
// What the session may hold: the UART's buffers, the output queue, client data waiting, the
// image, and room for the rest.
constexpr std::size_t kHeapBound = 768u << 10;
// The most a flood from the client may carry, so that one input stays quick.
constexpr std::uint64_t kMaxFloodBytes = 64u * 1024u;
// Once the client has closed the connection, the session must be finished within this long,
// whatever the line's speed and whatever is left to deliver: twice the longest the session
// gives a departed client (once to take in what is still in the connection, once to deliver
// what it holds), and the time before the close can be seen at all. That last part is the
// session still taking in the client's final data while it has room for it: 3.7 s in the
// worst input found so far (regression-close-seen-late), so 10 s are allowed.
constexpr Clock::Micros kLongestFinish = 2 * 31'000'000 + 10'000'000;

Clock::Micros Ms(std::uint64_t ms) {
  return ms * 1000u;
}

// Counts the data bytes and negotiations in a stream.
class StreamCounter final : public telnet::DecoderSink {
 public:
  explicit StreamCounter(bool from_server) : from_server_(from_server) {}

  void OnData(const std::uint8_t*, std::size_t count) override { data += count; }
  void OnNegotiation(Verb, std::uint8_t) override { ++negotiations; }
  void OnSubnegotiation(std::uint8_t option, const std::uint8_t* payload,
                        std::size_t length) override {
    if (!from_server_) {
      return;  // the client may send anything
    }
    rfc2217::ComPortMessage message;
    TOVREL_FUZZ_CHECK(option == telnet::kOptionComPort);
    TOVREL_FUZZ_CHECK(rfc2217::ParseComPort(payload, length, message));
    TOVREL_FUZZ_CHECK(message.from_server);
  }

  std::uint64_t data = 0;
  std::uint64_t negotiations = 0;

 private:
  bool from_server_;
};

DeviceConfig PickConfig(FuzzInput& input) {
  static constexpr std::uint32_t kRates[] = {9600, 38400, 115200, 230400};
  DeviceConfig config;
  config.initial_baud = kRates[input.Byte() % 4u];
  config.max_image_bytes = kMaxImageBytes;
  config.piece_bytes = 1u + input.Byte();
  config.busy_per_piece_us = Ms(input.Byte() % 16u);
  return config;
}

DeviceFaults PickFaults(FuzzInput& input) {
  DeviceFaults faults;
  const std::uint8_t knobs = input.Byte();
  faults.silent = (knobs & 0x01u) != 0;
  faults.cts_stuck_off = (knobs & 0x02u) != 0;
  faults.refuse_rate_change = (knobs & 0x04u) != 0;
  if ((knobs & 0x08u) != 0) {
    faults.cts_stuck_off_after_pieces = input.Byte() % 4u;
  }
  if ((knobs & 0x10u) != 0) {
    faults.reply_nuls = input.Byte() % 4u;
  }
  if ((knobs & 0x20u) != 0) {
    faults.reply_delay_us = Ms(input.Byte());
  }
  if ((knobs & 0x40u) != 0) {
    faults.inquiry = static_cast<ReplyFault>(input.Byte() % 4u);
    faults.baud = static_cast<ReplyFault>(input.Byte() % 4u);
    faults.start = static_cast<ReplyFault>(input.Byte() % 4u);
  }
  if ((knobs & 0x80u) != 0) {
    faults.cts_hold_at_image_byte = input.Byte();
    faults.cts_hold_us = Ms(input.Number16());
  }
  return faults;
}

class SessionRun {
 public:
  explicit SessionRun(FuzzInput& input) : input_(input), peer_(clock_) {
    peer_.on_sent = [this](const std::uint8_t* bytes, std::size_t count) {
      sent_decoder_.Feed(bytes, count, sent_);
    };
    peer_.on_received = [this](const std::uint8_t* bytes, std::size_t count) {
      received_decoder_.Feed(bytes, count, received_);
    };
    heap_base_ = HeapBytesInUse();
  }

  void Run() {
    const DeviceConfig config = PickConfig(input_);
    const DeviceFaults faults = PickFaults(input_);
    session_ = std::make_unique<server::ClientSession>(std::make_unique<BorrowedStream>(peer_),
                                                       clock_, config, faults);
    while (!input_.Empty()) {
      Next();
      CheckHeap();
    }
    // The client goes at the end if it has not already; the session must then finish.
    if (!peer_.Ended()) {
      peer_.SetSendAllowance(65536);
      peer_.End(net::IoStatus::kClosed, 0, 0);
    }
    const Clock::Micros deadline = clock_.Now() + kLongestFinish;
    while (!session_->Finished() && clock_.Now() < deadline) {
      Step(20);
    }
    TOVREL_FUZZ_CHECK(session_->Finished());
    CheckHeap();
    CheckCounts();
    session_.reset();
  }

 private:
  void Step(std::uint32_t wait_ms) {
    const Clock::Micros before = clock_.Now();
    session_->Step(wait_ms);
    TOVREL_FUZZ_CHECK(clock_.Now() - before <= Ms(wait_ms));
  }

  void CheckHeap() const {
    TOVREL_FUZZ_CHECK(HeapBytesInUse() <= heap_base_ + kHeapBound + 8u * input_size_bound_);
  }

  void CheckCounts() const {
    TOVREL_FUZZ_CHECK(sent_.data <= session_->BytesFromDevice());
    TOVREL_FUZZ_CHECK(session_->BytesToDevice() <= received_.data);
    TOVREL_FUZZ_CHECK(sent_.negotiations <= 5u + received_.negotiations);
  }

  void Deliver(const std::vector<std::uint8_t>& bytes, std::uint32_t repeat = 1,
               Clock::Micros delay = 0, std::size_t piece = 0) {
    peer_.Deliver(bytes, repeat, delay, piece);
  }

  void Next() {
    switch (input_.Byte() % 14u) {
      case 0:
      case 1: {  // raw bytes
        const Clock::Micros delay = Ms(input_.Byte());
        const std::size_t piece = input_.Byte() % 8u;
        const std::vector<std::uint8_t> bytes = input_.SizedBytes();
        input_size_bound_ += bytes.size();
        Deliver(bytes, 1, delay, piece);
        break;
      }
      case 2: {  // device data, escaped as a client sends it: commands, image bytes
        const std::vector<std::uint8_t> data = input_.SizedBytes();
        std::vector<std::uint8_t> wire;
        telnet::AppendData(wire, data.data(), data.size());
        input_size_bound_ += wire.size();
        Deliver(wire, 1, Ms(input_.Byte()));
        break;
      }
      case 3: {  // a flood: one chunk over and over
        const std::vector<std::uint8_t> chunk = input_.SizedBytes();
        if (chunk.empty()) {
          break;
        }
        const std::uint64_t power = std::uint64_t{1} << (input_.Byte() % 15u);
        const auto repeat = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(power + input_.Byte(), kMaxFloodBytes / chunk.size()));
        input_size_bound_ += chunk.size();
        Deliver(chunk, repeat, Ms(input_.Byte()));
        break;
      }
      case 4: {  // a well-formed COM-PORT-OPTION message, sensible or not
        const auto command = static_cast<ComPortCommand>(input_.Byte() % 13u);
        const std::vector<std::uint8_t> value = input_.Bytes(input_.Byte() % 6u);
        std::vector<std::uint8_t> wire;
        rfc2217::AppendComPort(wire, input_.Bit() ? ComPortRole::kServer : ComPortRole::kClient,
                               command, value.data(), value.size());
        Deliver(wire, 1, Ms(input_.Byte()));
        break;
      }
      case 5: {
        static constexpr std::uint8_t kOptions[] = {telnet::kOptionBinary, telnet::kOptionEcho,
                                                    telnet::kOptionSuppressGoAhead,
                                                    telnet::kOptionComPort};
        const auto verb = static_cast<Verb>(telnet::kCommandWill + input_.Byte() % 4u);
        const std::uint8_t pick = input_.Byte();
        std::vector<std::uint8_t> wire;
        telnet::AppendNegotiation(wire, verb, pick < 4 ? kOptions[pick] : pick);
        Deliver(wire, 1, Ms(input_.Byte()));
        break;
      }
      case 6:
        peer_.SetSendAllowance(input_.Byte());
        break;
      case 7:
        peer_.StallSends(Ms(input_.Number16()));
        break;
      case 8: {
        const bool broken = input_.Bit();
        peer_.End(broken ? net::IoStatus::kFailed : net::IoStatus::kClosed, input_.Byte(),
                  Ms(input_.Byte()));
        break;
      }
      default: {  // let time pass: some steps of a few milliseconds
        const std::uint32_t steps = 1u + input_.Byte();
        const std::uint32_t wait_ms = input_.Byte() % 32u;
        for (std::uint32_t i = 0; i < steps && !session_->Finished(); ++i) {
          Step(wait_ms);
        }
        break;
      }
    }
  }

  FuzzInput& input_;
  VirtualClock clock_;
  ScriptedPeer peer_;
  std::unique_ptr<server::ClientSession> session_;

  telnet::Decoder sent_decoder_;
  StreamCounter sent_{true};
  telnet::Decoder received_decoder_;
  StreamCounter received_{false};

  std::size_t heap_base_ = 0;
  std::size_t input_size_bound_ = 0;
};

}  // namespace
}  // namespace tovrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tovrel::fuzz::FuzzInput input(data, size);
  tovrel::fuzz::SessionRun run(input);
  run.Run();
  return 0;
}
