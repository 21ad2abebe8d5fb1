#include "rfc2217/telnet_codec.h"
#include "tests/support/case_name.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tovrel::telnet {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Every event as one line of text, data runs merged, so that any chunking of the same stream
// must give the same transcript.
class Transcript : public DecoderSink {
 public:
  void OnData(const std::uint8_t* bytes, std::size_t count) override {
    if (lines.empty() || lines.back().rfind("data", 0) != 0) {
      lines.emplace_back("data");
    }
    for (std::size_t i = 0; i < count; ++i) {
      lines.back() += " " + std::to_string(bytes[i]);
    }
  }
  void OnNegotiation(Verb verb, std::uint8_t option) override {
    lines.push_back("neg " + std::to_string(static_cast<int>(verb)) + " " + std::to_string(option));
  }
  void OnSubnegotiation(std::uint8_t option, const std::uint8_t* payload,
                        std::size_t length) override {
    std::string line = "sub " + std::to_string(option) + ":";
    for (std::size_t i = 0; i < length; ++i) {
      line += " " + std::to_string(payload[i]);
    }
    lines.push_back(line);
  }
  void OnCommand(std::uint8_t command) override {
    lines.push_back("cmd " + std::to_string(command));
  }

  std::vector<std::string> lines;
};

struct DecodeCase {
  const char* name;
  Bytes wire;
  std::vector<std::string> expected;
};

Bytes LongSubnegotiation() {
  Bytes wire{kIac, kSb, kOptionComPort};
  wire.insert(wire.end(), kMaxSubnegotiationPayload + 1, 0x41);
  wire.insert(wire.end(), {kIac, kSe, 0x42});
  return wire;
}

const std::vector<DecodeCase>& DecodeCases() {
  static const std::vector<DecodeCase> cases = {
      {"plain data", {0x41, 0x42}, {"data 65 66"}},
      {"doubled IAC is one 0xFF", {0x41, kIac, kIac, 0x42}, {"data 65 255 66"}},
      {"only doubled IACs", {kIac, kIac, kIac, kIac}, {"data 255 255"}},
      {"four verbs",
       {kIac, kCommandWill, 44, kIac, kCommandWont, 1, kIac, kCommandDo, 0, kIac, kCommandDont, 24},
       {"neg 251 44", "neg 252 1", "neg 253 0", "neg 254 24"}},
      {"option byte 255 after a verb", {kIac, kCommandDo, 255, 0x41}, {"neg 253 255", "data 65"}},
      {"baud-rate reply",
       {kIac, kSb, 44, 101, 0x00, 0x01, 0xC2, 0x00, kIac, kSe},
       {"sub 44: 101 0 1 194 0"}},
      {"doubled IAC inside a sub-negotiation",
       {kIac, kSb, 44, 11, kIac, kIac, kIac, kSe},
       {"sub 44: 11 255"}},
      {"empty sub-negotiation", {kIac, kSb, 44, kIac, kSe}, {"sub 44:"}},
      {"data around a sub-negotiation",
       {0x41, kIac, kSb, 44, 107, 0x30, kIac, kSe, 0x42, 0x43},
       {"data 65", "sub 44: 107 48", "data 66 67"}},
      {"other commands", {kIac, kNop, 0x41, kIac, kGa}, {"cmd 241", "data 65", "cmd 249"}},
      {"stray SE is dropped", {0x41, kIac, kSe, 0x42}, {"data 65 66"}},
      {"abandoned sub-negotiation gives way to the command",
       {kIac, kSb, 44, 1, 2, kIac, kCommandWill, 3, 0x41},
       {"neg 251 3", "data 65"}},
      {"over-long sub-negotiation is dropped whole", LongSubnegotiation(), {"data 66"}},
  };
  return cases;
}

std::vector<std::string> DecodeInChunks(const Bytes& wire, const std::vector<std::size_t>& cuts) {
  Decoder decoder;
  Transcript transcript;
  std::size_t begin = 0;
  for (std::size_t cut : cuts) {
    decoder.Feed(wire.data() + begin, cut - begin, transcript);
    begin = cut;
  }
  decoder.Feed(wire.data() + begin, wire.size() - begin, transcript);
  return transcript.lines;
}

class DecoderTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecoderTest, WholeStream) {
  EXPECT_EQ(DecodeInChunks(GetParam().wire, {}), GetParam().expected);
}

TEST_P(DecoderTest, SplitInTwoAtEveryPosition) {
  const Bytes& wire = GetParam().wire;
  for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
    EXPECT_EQ(DecodeInChunks(wire, {cut}), GetParam().expected) << "cut at " << cut;
  }
}

TEST_P(DecoderTest, SplitInThreeAtEveryPairOfPositions) {
  const Bytes& wire = GetParam().wire;
  // Every position of a short stream; in a long one, the positions near its ends, where the
  // commands are (the middle of a long payload is all alike).
  constexpr std::size_t kEdge = 24;
  std::vector<std::size_t> positions;
  for (std::size_t i = 0; i <= wire.size(); ++i) {
    if (i <= kEdge || i + kEdge >= wire.size()) {
      positions.push_back(i);
    }
  }
  for (std::size_t first : positions) {
    for (std::size_t second : positions) {
      if (second >= first) {
        EXPECT_EQ(DecodeInChunks(wire, {first, second}), GetParam().expected)
            << "cuts at " << first << " and " << second;
      }
    }
  }
}

TEST_P(DecoderTest, OneByteAtATime) {
  std::vector<std::size_t> cuts;
  for (std::size_t i = 1; i < GetParam().wire.size(); ++i) {
    cuts.push_back(i);
  }
  EXPECT_EQ(DecodeInChunks(GetParam().wire, cuts), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Streams, DecoderTest, ::testing::ValuesIn(DecodeCases()),
                         [](const ::testing::TestParamInfo<DecodeCase>& param_info) {
                           std::string name;
                           for (const char* c = param_info.param.name; *c != '\0'; ++c) {
                             name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                           }
                           return name;
                         });

TEST(DecoderReset, ForgetsAHalfReceivedCommand) {
  Decoder decoder;
  Transcript transcript;
  const Bytes first{kIac, kSb, 44, 1};
  decoder.Feed(first.data(), first.size(), transcript);
  decoder.Reset();
  const Bytes second{0x41};
  decoder.Feed(second.data(), second.size(), transcript);
  EXPECT_EQ(transcript.lines, std::vector<std::string>{"data 65"});
}

// --- Negotiation -----------------------------------------------------------------------------

struct AnswerCase {
  const char* name;
  std::vector<std::pair<Side, std::uint8_t>> allowed;
  std::vector<std::pair<Verb, std::uint8_t>> received;
  Bytes expected;
};

class NegotiatorAnswers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(NegotiatorAnswers, AnswerIsDue) {
  OptionNegotiator negotiator;
  for (const auto& [side, option] : GetParam().allowed) {
    negotiator.Allow(side, option);
  }
  Bytes out;
  for (const auto& [verb, option] : GetParam().received) {
    negotiator.Receive(verb, option, out);
  }
  EXPECT_EQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NegotiatorAnswers,
    ::testing::Values(
        AnswerCase{"DoUnknownIsRefusedWithWont", {}, {{Verb::kDo, 24}}, {kIac, kCommandWont, 24}},
        AnswerCase{"WillUnknownIsRefusedWithDont", {}, {{Verb::kWill, 1}}, {kIac, kCommandDont, 1}},
        AnswerCase{"RefusalIsRepeatedForEachAsk",
                   {},
                   {{Verb::kDo, 24}, {Verb::kDo, 24}},
                   {kIac, kCommandWont, 24, kIac, kCommandWont, 24}},
        AnswerCase{
            "WontAndDontForOptionsOffGetNoAnswer", {}, {{Verb::kWont, 1}, {Verb::kDont, 3}}, {}},
        AnswerCase{"AllowedRemoteOptionIsAcceptedOnce",
                   {{Side::kRemote, kOptionBinary}},
                   {{Verb::kWill, kOptionBinary}, {Verb::kWill, kOptionBinary}},
                   {kIac, kCommandDo, kOptionBinary}},
        AnswerCase{"AllowedLocalOptionIsAcceptedOnce",
                   {{Side::kLocal, kOptionComPort}},
                   {{Verb::kDo, kOptionComPort}, {Verb::kDo, kOptionComPort}},
                   {kIac, kCommandWill, kOptionComPort}},
        AnswerCase{"AllowingOneSideDoesNotAllowTheOther",
                   {{Side::kLocal, kOptionComPort}},
                   {{Verb::kWill, kOptionComPort}},
                   {kIac, kCommandDont, kOptionComPort}},
        AnswerCase{"EnabledOptionTurnedOffIsConfirmedOnce",
                   {{Side::kRemote, kOptionBinary}},
                   {{Verb::kWill, kOptionBinary},
                    {Verb::kWont, kOptionBinary},
                    {Verb::kWont, kOptionBinary}},
                   {kIac, kCommandDo, kOptionBinary, kIac, kCommandDont, kOptionBinary}}),
    CaseName());

TEST(Negotiator, RequestIsSentOnceAndItsAnswerIsNotAnswered) {
  OptionNegotiator negotiator;
  Bytes out;
  negotiator.Request(Side::kLocal, kOptionComPort, out);
  negotiator.Request(Side::kLocal, kOptionComPort, out);
  EXPECT_EQ(out, (Bytes{kIac, kCommandWill, kOptionComPort}));
  EXPECT_TRUE(negotiator.IsPending(Side::kLocal, kOptionComPort));
  out.clear();
  negotiator.Receive(Verb::kDo, kOptionComPort, out);
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(negotiator.IsEnabled(Side::kLocal, kOptionComPort));
  EXPECT_FALSE(negotiator.IsPending(Side::kLocal, kOptionComPort));
}

TEST(Negotiator, RefusedRequestEndsOffWithoutAnswer) {
  OptionNegotiator negotiator;
  Bytes out;
  negotiator.Request(Side::kRemote, kOptionBinary, out);
  out.clear();
  negotiator.Receive(Verb::kWont, kOptionBinary, out);
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(negotiator.IsEnabled(Side::kRemote, kOptionBinary));
  EXPECT_FALSE(negotiator.IsPending(Side::kRemote, kOptionBinary));
}

TEST(Negotiator, DisableSendsRefusalAndRefusesLaterAsks) {
  OptionNegotiator negotiator;
  Bytes out;
  negotiator.Allow(Side::kLocal, kOptionEcho);
  negotiator.Receive(Verb::kDo, kOptionEcho, out);
  out.clear();
  negotiator.Disable(Side::kLocal, kOptionEcho, out);
  EXPECT_EQ(out, (Bytes{kIac, kCommandWont, kOptionEcho}));
  out.clear();
  negotiator.Receive(Verb::kDont, kOptionEcho, out);  // the peer's confirmation
  EXPECT_TRUE(out.empty());
  negotiator.Receive(Verb::kDo, kOptionEcho, out);
  EXPECT_EQ(out, (Bytes{kIac, kCommandWont, kOptionEcho}));
}

// A client and a server built from the same codec agree, both asking for the same options at
// once, and then fall silent: no negotiation loop.
TEST(Negotiator, ClientAndServerAgreeAndFallSilent) {
  struct End : DecoderSink {
    OptionNegotiator negotiator;
    Bytes out;
    void OnData(const std::uint8_t*, std::size_t) override {}
    void OnNegotiation(Verb verb, std::uint8_t option) override {
      negotiator.Receive(verb, option, out);
    }
    void OnSubnegotiation(std::uint8_t, const std::uint8_t*, std::size_t) override {}
  };
  End client;
  End server;
  for (std::uint8_t option : {kOptionBinary, kOptionSuppressGoAhead}) {
    client.negotiator.Request(Side::kLocal, option, client.out);
    client.negotiator.Request(Side::kRemote, option, client.out);
    server.negotiator.Request(Side::kLocal, option, server.out);
    server.negotiator.Request(Side::kRemote, option, server.out);
  }
  client.negotiator.Request(Side::kLocal, kOptionComPort, client.out);
  server.negotiator.Allow(Side::kRemote, kOptionComPort);
  Decoder client_decoder;
  Decoder server_decoder;
  int rounds = 0;
  while ((!client.out.empty() || !server.out.empty()) && rounds < 10) {
    Bytes to_server;
    Bytes to_client;
    to_server.swap(client.out);
    to_client.swap(server.out);
    server_decoder.Feed(to_server.data(), to_server.size(), server);
    client_decoder.Feed(to_client.data(), to_client.size(), client);
    ++rounds;
  }
  EXPECT_LE(rounds, 2);
  for (std::uint8_t option : {kOptionBinary, kOptionSuppressGoAhead}) {
    EXPECT_TRUE(client.negotiator.IsEnabled(Side::kLocal, option));
    EXPECT_TRUE(client.negotiator.IsEnabled(Side::kRemote, option));
    EXPECT_TRUE(server.negotiator.IsEnabled(Side::kLocal, option));
    EXPECT_TRUE(server.negotiator.IsEnabled(Side::kRemote, option));
  }
  EXPECT_TRUE(client.negotiator.IsEnabled(Side::kLocal, kOptionComPort));
  EXPECT_TRUE(server.negotiator.IsEnabled(Side::kRemote, kOptionComPort));
}

// --- Encoders --------------------------------------------------------------------------------

using rfc2217::ComPortCommand;
using rfc2217::ComPortRole;

struct EncodeCase {
  const char* name;
  Bytes (*encode)();
  Bytes expected;
};

Bytes Encoded(ComPortRole role, ComPortCommand command, std::uint8_t value) {
  Bytes out;
  rfc2217::AppendComPortByte(out, role, command, value);
  return out;
}

const EncodeCase kEncodeCases[] = {
    {"DataDoublesIac",
     [] {
       Bytes out;
       const Bytes data{0x41, 0xFF, 0x00, 0xFF};
       AppendData(out, data.data(), data.size());
       return out;
     },
     {0x41, 0xFF, 0xFF, 0x00, 0xFF, 0xFF}},
    {"Negotiation",
     [] {
       Bytes out;
       AppendNegotiation(out, Verb::kDo, kOptionBinary);
       return out;
     },
     {kIac, kCommandDo, 0}},
    {"ClientBaudRate115200",
     [] {
       Bytes out;
       rfc2217::AppendSetBaudRate(out, ComPortRole::kClient, 115200);
       return out;
     },
     {kIac, kSb, 44, 1, 0x00, 0x01, 0xC2, 0x00, kIac, kSe}},
    {"ServerBaudRate9600",
     [] {
       Bytes out;
       rfc2217::AppendSetBaudRate(out, ComPortRole::kServer, 9600);
       return out;
     },
     {kIac, kSb, 44, 101, 0x00, 0x00, 0x25, 0x80, kIac, kSe}},
    {"BaudRateWithFfBytesIsEscaped",
     [] {
       Bytes out;
       rfc2217::AppendSetBaudRate(out, ComPortRole::kClient, 0x00FFFF00u);
       return out;
     },
     {kIac, kSb, 44, 1, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, kIac, kSe}},
    {"OptionByte255GoesAsItIs",
     [] {
       Bytes out;
       const Bytes payload{0xFF};
       AppendSubnegotiation(out, 255, payload.data(), payload.size());
       return out;
     },
     {kIac, kSb, 0xFF, 0xFF, 0xFF, kIac, kSe}},
    {"DataSize8",
     [] { return Encoded(ComPortRole::kClient, ComPortCommand::kSetDataSize, 8); },
     {kIac, kSb, 44, 2, 8, kIac, kSe}},
    {"ParityNone",
     [] { return Encoded(ComPortRole::kClient, ComPortCommand::kSetParity, 1); },
     {kIac, kSb, 44, 3, 1, kIac, kSe}},
    {"StopSizeOne",
     [] { return Encoded(ComPortRole::kClient, ComPortCommand::kSetStopSize, 1); },
     {kIac, kSb, 44, 4, 1, kIac, kSe}},
    {"HardwareFlow",
     [] {
       return Encoded(ComPortRole::kClient, ComPortCommand::kSetControl,
                      rfc2217::kControlHardwareFlow);
     },
     {kIac, kSb, 44, 5, 3, kIac, kSe}},
    {"DtrOff",
     [] {
       return Encoded(ComPortRole::kClient, ComPortCommand::kSetControl, rfc2217::kControlDtrOff);
     },
     {kIac, kSb, 44, 5, 9, kIac, kSe}},
    {"RtsOn",
     [] {
       return Encoded(ComPortRole::kClient, ComPortCommand::kSetControl, rfc2217::kControlRtsOn);
     },
     {kIac, kSb, 44, 5, 11, kIac, kSe}},
    {"ServerNotifyLineState",
     [] { return Encoded(ComPortRole::kServer, ComPortCommand::kNotifyLineState, 0x60); },
     {kIac, kSb, 44, 106, 0x60, kIac, kSe}},
    {"ServerNotifyModemState",
     [] { return Encoded(ComPortRole::kServer, ComPortCommand::kNotifyModemState, 0x31); },
     {kIac, kSb, 44, 107, 0x31, kIac, kSe}},
    {"FlowControlSuspend",
     [] {
       Bytes out;
       rfc2217::AppendComPort(out, ComPortRole::kClient, ComPortCommand::kFlowControlSuspend,
                              nullptr, 0);
       return out;
     },
     {kIac, kSb, 44, 8, kIac, kSe}},
    {"ServerFlowControlResume",
     [] {
       Bytes out;
       rfc2217::AppendComPort(out, ComPortRole::kServer, ComPortCommand::kFlowControlResume,
                              nullptr, 0);
       return out;
     },
     {kIac, kSb, 44, 109, kIac, kSe}},
    {"LineStateMask",
     [] { return Encoded(ComPortRole::kClient, ComPortCommand::kSetLineStateMask, 0); },
     {kIac, kSb, 44, 10, 0, kIac, kSe}},
    {"ModemStateMaskAllIsEscaped",
     [] { return Encoded(ComPortRole::kClient, ComPortCommand::kSetModemStateMask, 0xFF); },
     {kIac, kSb, 44, 11, 0xFF, 0xFF, kIac, kSe}},
    {"PurgeBoth",
     [] { return Encoded(ComPortRole::kClient, ComPortCommand::kPurgeData, rfc2217::kPurgeBoth); },
     {kIac, kSb, 44, 12, 3, kIac, kSe}},
    {"ServerPurgeReceive",
     [] {
       return Encoded(ComPortRole::kServer, ComPortCommand::kPurgeData, rfc2217::kPurgeReceive);
     },
     {kIac, kSb, 44, 112, 1, kIac, kSe}},
};

class EncoderTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncoderTest, BytesOnTheWire) {
  EXPECT_EQ(GetParam().encode(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Messages, EncoderTest, ::testing::ValuesIn(kEncodeCases), CaseName());

// Whatever the encoders write, the decoder reads back unchanged.
TEST(EncoderDecoder, RoundTripThroughTheDecoder) {
  Bytes wire;
  const Bytes data{0xFF, 0x00, 0x0D, 0x0A, 0xFF};
  AppendData(wire, data.data(), data.size());
  rfc2217::AppendSetBaudRate(wire, ComPortRole::kServer, 0xFFFFFFFFu);
  Decoder decoder;
  Transcript transcript;
  decoder.Feed(wire.data(), wire.size(), transcript);
  EXPECT_EQ(transcript.lines,
            (std::vector<std::string>{"data 255 0 13 10 255", "sub 44: 101 255 255 255 255"}));
}

struct ParseCase {
  Bytes payload;
  bool valid;
  ComPortCommand command;
  bool from_server;
  Bytes value;
};

class ParseComPortTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseComPortTest, ReadsCodeAndValue) {
  rfc2217::ComPortMessage message;
  const ParseCase& c = GetParam();
  ASSERT_EQ(rfc2217::ParseComPort(c.payload.data(), c.payload.size(), message), c.valid);
  if (c.valid) {
    EXPECT_EQ(message.command, c.command);
    EXPECT_EQ(message.from_server, c.from_server);
    EXPECT_EQ(message.value, c.value);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, ParseComPortTest,
    ::testing::Values(
        ParseCase{
            {101, 0, 0, 0x25, 0x80}, true, ComPortCommand::kSetBaudRate, true, {0, 0, 0x25, 0x80}},
        ParseCase{{12, 1}, true, ComPortCommand::kPurgeData, false, {1}},
        ParseCase{{112, 3}, true, ComPortCommand::kPurgeData, true, {3}},
        ParseCase{{107}, true, ComPortCommand::kNotifyModemState, true, {}},
        ParseCase{{0, 'x'}, true, ComPortCommand::kSignature, false, {'x'}},
        ParseCase{{13}, false, {}, false, {}}, ParseCase{{99}, false, {}, false, {}},
        ParseCase{{113}, false, {}, false, {}}, ParseCase{{}, false, {}, false, {}}),
    NameBy([](const ParseCase& c) { return std::string(c.payload.begin(), c.payload.end()); }));

TEST(ComPortMessage, BigEndianNeedsFourBytes) {
  rfc2217::ComPortMessage message;
  std::uint32_t number = 0;
  message.value = {0x00, 0x01, 0xC2, 0x00};
  ASSERT_TRUE(message.BigEndian32(number));
  EXPECT_EQ(number, 115200u);
  message.value = {0x01, 0xC2, 0x00};
  EXPECT_FALSE(message.BigEndian32(number));
}

}  // namespace
}  // namespace tovrel::telnet
