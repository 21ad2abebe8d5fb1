// The Telnet codec on its own, shared by the client and the emulator's server.
//
// Properties checked on every input:
//  - decoding is the same however the bytes are split into chunks (IAC at a chunk's end, a
//    sub-negotiation across many chunks);
//  - escaping then decoding gives the data back, and a sub-negotiation or COM-PORT-OPTION
//    message back as it was encoded (a payload over the decoder's limit is dropped whole);
//  - ParseComPort reads nothing past its payload (the payload sits in a block of exactly its
//    size);
//  - two negotiators set up as client and server, asked to switch options on and off in any
//    order, always fall quiet after a few exchanges (no loop) and then agree on every option;
//  - once a negotiation out of nowhere has upset them (as a confused peer's would), two ends
//    that each follow the rules may echo each other for good, but neither ever answers with more
//    negotiations than it received: a peer cannot make one of them send more than it sends.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "fuzz_support.h"
#include "rfc2217/telnet_codec.h"

namespace tovrel::fuzz {
namespace {

using telnet::Side;
using telnet::Verb;

// Everything the decoder reports, with data runs joined, so that two decodings compare.
struct Decoded final : telnet::DecoderSink {
  struct Event {
    int kind = 0;  // 1 negotiation, 2 sub-negotiation, 3 command
    std::uint8_t a = 0;
    std::uint8_t b = 0;
    std::vector<std::uint8_t> payload;
    std::size_t data_before = 0;  // data bytes reported before this event

    bool operator==(const Event& other) const {
      return kind == other.kind && a == other.a && b == other.b && payload == other.payload &&
             data_before == other.data_before;
    }
  };

  void OnData(const std::uint8_t* bytes, std::size_t count) override {
    TOVREL_FUZZ_CHECK(count > 0);
    data.insert(data.end(), bytes, bytes + count);
  }
  void OnNegotiation(Verb verb, std::uint8_t option) override {
    events.push_back({1, static_cast<std::uint8_t>(verb), option, {}, data.size()});
  }
  void OnSubnegotiation(std::uint8_t option, const std::uint8_t* payload,
                        std::size_t length) override {
    TOVREL_FUZZ_CHECK(length <= telnet::kMaxSubnegotiationPayload);
    events.push_back(
        {2, option, 0, std::vector<std::uint8_t>(payload, payload + length), data.size()});
  }
  void OnCommand(std::uint8_t command) override {
    events.push_back({3, command, 0, {}, data.size()});
  }

  std::vector<std::uint8_t> data;
  std::vector<Event> events;
};

void CheckSplitsDoNotMatter(FuzzInput& input) {
  // Up to a few kilobytes, so that a sub-negotiation can run past the decoder's limit.
  const std::vector<std::uint8_t> stream = input.Bytes(input.Number16() % 4096u);
  Decoded whole;
  telnet::Decoder one;
  one.Feed(stream.data(), stream.size(), whole);

  Decoded pieces;
  telnet::Decoder many;
  std::size_t at = 0;
  while (at < stream.size()) {
    const std::size_t piece = 1u + input.Byte() % 16u;
    const std::size_t take = piece < stream.size() - at ? piece : stream.size() - at;
    // Each piece in a block of its own size, so that a read past it is seen.
    const std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[take]);
    std::copy(stream.begin() + static_cast<std::ptrdiff_t>(at),
              stream.begin() + static_cast<std::ptrdiff_t>(at + take), block.get());
    many.Feed(block.get(), take, pieces);
    at += take;
  }
  TOVREL_FUZZ_CHECK(whole.data == pieces.data);
  TOVREL_FUZZ_CHECK(whole.events == pieces.events);
}

void CheckRoundTrips(FuzzInput& input) {
  const std::vector<std::uint8_t> data = input.SizedBytes();
  const std::uint8_t option = input.Byte();
  // Payloads around the decoder's limit as well as short ones.
  std::vector<std::uint8_t> payload = input.SizedBytes();
  const std::size_t times = input.Byte() % 4u;
  const std::vector<std::uint8_t> unit = payload;
  for (std::size_t i = 0; i < times && !unit.empty(); ++i) {
    payload.insert(payload.end(), unit.begin(), unit.end());
  }

  std::vector<std::uint8_t> wire;
  telnet::AppendData(wire, data.data(), data.size());
  telnet::AppendSubnegotiation(wire, option, payload.data(), payload.size());
  telnet::AppendData(wire, data.data(), data.size());

  Decoded decoded;
  telnet::Decoder decoder;
  decoder.Feed(wire.data(), wire.size(), decoded);
  std::vector<std::uint8_t> twice = data;
  twice.insert(twice.end(), data.begin(), data.end());
  TOVREL_FUZZ_CHECK(decoded.data == twice);
  if (payload.size() <= telnet::kMaxSubnegotiationPayload) {
    TOVREL_FUZZ_CHECK(decoded.events.size() == 1);
    TOVREL_FUZZ_CHECK(decoded.events[0].kind == 2);
    TOVREL_FUZZ_CHECK(decoded.events[0].a == option);
    TOVREL_FUZZ_CHECK(decoded.events[0].payload == payload);
    TOVREL_FUZZ_CHECK(decoded.events[0].data_before == data.size());
  } else {
    TOVREL_FUZZ_CHECK(decoded.events.empty());
  }
}

void CheckComPortMessages(FuzzInput& input) {
  // Any payload, in a block of exactly its size.
  const std::vector<std::uint8_t> raw = input.SizedBytes();
  const std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[raw.size()]);
  std::copy(raw.begin(), raw.end(), block.get());
  rfc2217::ComPortMessage parsed;
  if (rfc2217::ParseComPort(block.get(), raw.size(), parsed)) {
    TOVREL_FUZZ_CHECK(!raw.empty());
    TOVREL_FUZZ_CHECK(parsed.value.size() == raw.size() - 1);
    TOVREL_FUZZ_CHECK(parsed.from_server == (raw[0] >= rfc2217::kServerOffset));
  }

  // A message encoded by either role reads back as it was.
  const auto command = static_cast<rfc2217::ComPortCommand>(input.Byte() % 13u);
  const auto role = input.Bit() ? rfc2217::ComPortRole::kServer : rfc2217::ComPortRole::kClient;
  const std::vector<std::uint8_t> value = input.Bytes(input.Byte() % 8u);
  std::vector<std::uint8_t> wire;
  rfc2217::AppendComPort(wire, role, command, value.data(), value.size());
  Decoded decoded;
  telnet::Decoder decoder;
  decoder.Feed(wire.data(), wire.size(), decoded);
  TOVREL_FUZZ_CHECK(decoded.data.empty());
  TOVREL_FUZZ_CHECK(decoded.events.size() == 1);
  const Decoded::Event& event = decoded.events[0];
  TOVREL_FUZZ_CHECK(event.kind == 2 && event.a == telnet::kOptionComPort);
  rfc2217::ComPortMessage message;
  TOVREL_FUZZ_CHECK(rfc2217::ParseComPort(event.payload.data(), event.payload.size(), message));
  TOVREL_FUZZ_CHECK(message.command == command);
  TOVREL_FUZZ_CHECK(message.from_server == (role == rfc2217::ComPortRole::kServer));
  TOVREL_FUZZ_CHECK(message.value == value);
}

// Two ends joined back to back: what one appends, the other receives.
class NegotiatingPair {
 public:
  NegotiatingPair() {
    // As the client sets itself up...
    client_.Allow(Side::kRemote, telnet::kOptionComPort);
    // ... and as the emulator's server does.
    for (std::uint8_t option : {telnet::kOptionBinary, telnet::kOptionSuppressGoAhead}) {
      server_.Allow(Side::kLocal, option);
      server_.Allow(Side::kRemote, option);
    }
    server_.Allow(Side::kRemote, telnet::kOptionComPort);
  }

  void Run(FuzzInput& input) {
    static constexpr std::uint8_t kOptions[] = {telnet::kOptionBinary, telnet::kOptionEcho,
                                                telnet::kOptionSuppressGoAhead,
                                                telnet::kOptionComPort};
    while (!input.Empty()) {
      const std::uint8_t op = input.Byte();
      const std::uint8_t option = kOptions[input.Byte() % 4u];
      const Side side = (op & 1u) != 0 ? Side::kLocal : Side::kRemote;
      telnet::OptionNegotiator& end = (op & 2u) != 0 ? client_ : server_;
      std::vector<std::uint8_t>& out = (op & 2u) != 0 ? to_server_ : to_client_;
      switch ((op >> 2) % 4u) {
        case 0:
          end.Request(side, option, out);
          break;
        case 1:
          end.Disable(side, option, out);
          break;
        case 2: {
          // A negotiation out of nowhere, as a confused peer sends: the two may then disagree.
          const auto verb = static_cast<Verb>(telnet::kCommandWill + input.Byte() % 4u);
          end.Receive(verb, option, out);
          spurious_ = true;
          break;
        }
        default:
          Settle();
          break;
      }
    }
    Settle();
    if (!spurious_) {
      for (std::uint8_t option : kOptions) {
        TOVREL_FUZZ_CHECK(!client_.IsPending(Side::kLocal, option));
        TOVREL_FUZZ_CHECK(!client_.IsPending(Side::kRemote, option));
        TOVREL_FUZZ_CHECK(client_.IsEnabled(Side::kLocal, option) ==
                          server_.IsEnabled(Side::kRemote, option));
        TOVREL_FUZZ_CHECK(client_.IsEnabled(Side::kRemote, option) ==
                          server_.IsEnabled(Side::kLocal, option));
      }
    }
  }

 private:
  // Passes everything across until both ends are quiet: each request or refusal is answered at
  // most once, so a handful of rounds always does. After a spurious negotiation the rounds are
  // only counted, and what is still in flight is dropped.
  void Settle() {
    for (int round = 0; round < 8; ++round) {
      if (to_client_.empty() && to_server_.empty()) {
        return;
      }
      Pass(to_server_, server_, to_client_);
      Pass(to_client_, client_, to_server_);
    }
    TOVREL_FUZZ_CHECK(spurious_);
    to_client_.clear();
    to_server_.clear();
  }

  static void Pass(std::vector<std::uint8_t>& wire, telnet::OptionNegotiator& receiver,
                   std::vector<std::uint8_t>& answers) {
    Decoded decoded;
    telnet::Decoder decoder;
    decoder.Feed(wire.data(), wire.size(), decoded);
    wire.clear();
    for (const Decoded::Event& event : decoded.events) {
      TOVREL_FUZZ_CHECK(event.kind == 1);
      const std::size_t before = answers.size();
      receiver.Receive(static_cast<Verb>(event.a), event.b, answers);
      // At most one answer (three bytes) for each negotiation received.
      TOVREL_FUZZ_CHECK(answers.size() - before <= 3);
    }
  }

  telnet::OptionNegotiator client_;
  telnet::OptionNegotiator server_;
  std::vector<std::uint8_t> to_client_;
  std::vector<std::uint8_t> to_server_;
  bool spurious_ = false;
};

}  // namespace
}  // namespace tovrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tovrel::fuzz::FuzzInput input(data, size);
  tovrel::fuzz::CheckSplitsDoNotMatter(input);
  tovrel::fuzz::CheckRoundTrips(input);
  tovrel::fuzz::CheckComPortMessages(input);
  tovrel::fuzz::NegotiatingPair pair;
  pair.Run(input);
  return 0;
}
