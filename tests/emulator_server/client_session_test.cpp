// The server's session logic in-process: a real loopback connection, the line on a virtual clock.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "session_harness.h"
#include "tests/support/case_name.h"

namespace tovrel::testing {
namespace {

using rfc2217::ComPortCommand;
using telnet::Verb;

constexpr std::uint8_t kEsc = 0x1B;
constexpr Clock::Micros kMs = 1000;

bool Has(const WireClient& client, ComPortCommand command) {
  return !client.ComPortOf(command).empty();
}

Bytes Values(const std::vector<rfc2217::ComPortMessage>& messages) {
  Bytes values;
  for (const auto& message : messages) {
    values.push_back(message.Byte());
  }
  return values;
}

// Announces an image of `size` bytes and waits for the device's acceptance.
void StartProgramming(SessionHarness& h, std::size_t size) {
  h.Client().SendData(BytesOf(("\x1b!g0" + std::to_string(size) + "C").c_str()));
  ASSERT_TRUE(h.RunUntil([&] { return h.Client().Data().size() >= 6; }, 100 * kMs));
  ASSERT_EQ(h.Client().Data(), BytesOf("\x1b!g01C"));
  h.Client().ClearReceived();
}

Bytes Pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  }
  return bytes;
}

// --- Negotiation -------------------------------------------------------------------------------

TEST(ClientSession, AsksForBinarySuppressGoAheadAndComPortOptionOnConnect) {
  SessionHarness h;
  ASSERT_TRUE(h.Connected());
  h.Run(kMs);
  using Negotiation = std::pair<Verb, std::uint8_t>;
  const std::vector<Negotiation> expected = {
      {Verb::kWill, telnet::kOptionBinary},          {Verb::kDo, telnet::kOptionBinary},
      {Verb::kWill, telnet::kOptionSuppressGoAhead}, {Verb::kDo, telnet::kOptionSuppressGoAhead},
      {Verb::kDo, telnet::kOptionComPort},
  };
  EXPECT_EQ(h.Client().Negotiations(), expected);
}

struct NegotiationCase {
  const char* name;
  Verb sent;
  std::uint8_t option;
  std::optional<std::pair<Verb, std::uint8_t>> answer;
};

class NegotiationAnswers : public ::testing::TestWithParam<NegotiationCase> {};

TEST_P(NegotiationAnswers, RefusesWhatItDoesNotOfferAndLeavesAgreementsAlone) {
  const NegotiationCase& c = GetParam();
  SessionHarness h;
  ASSERT_TRUE(h.Connected());
  h.Run(kMs);
  h.Client().ClearReceived();
  h.Client().SendNegotiation(c.sent, c.option);
  h.Run(kMs);
  if (c.answer) {
    ASSERT_EQ(h.Client().Negotiations().size(), 1u);
    EXPECT_EQ(h.Client().Negotiations()[0], *c.answer);
  } else {
    EXPECT_TRUE(h.Client().Negotiations().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Options, NegotiationAnswers,
    ::testing::Values(
        NegotiationCase{"DoEcho", Verb::kDo, telnet::kOptionEcho,
                        std::make_pair(Verb::kWont, telnet::kOptionEcho)},
        NegotiationCase{"WillUnknown", Verb::kWill, 99, std::make_pair(Verb::kDont, 99)},
        NegotiationCase{"DoTerminalType", Verb::kDo, 24, std::make_pair(Verb::kWont, 24)},
        // The server never acts as the COM-PORT-OPTION client itself.
        NegotiationCase{"DoComPort", Verb::kDo, telnet::kOptionComPort,
                        std::make_pair(Verb::kWont, telnet::kOptionComPort)},
        // Answers to its own requests need no answer back.
        NegotiationCase{"WillComPort", Verb::kWill, telnet::kOptionComPort, std::nullopt},
        NegotiationCase{"DoBinary", Verb::kDo, telnet::kOptionBinary, std::nullopt}),
    CaseName());

TEST(ClientSession, AgreeingToComPortOptionReportsTheModemLines) {
  SessionHarness h;
  ASSERT_TRUE(h.Connected());
  h.Client().SendNegotiation(Verb::kWill, telnet::kOptionComPort);
  h.Run(kMs);
  EXPECT_EQ(Values(h.Client().ComPortOf(ComPortCommand::kNotifyModemState)),
            Bytes{rfc2217::kModemCts});
}

// --- Settings ----------------------------------------------------------------------------------

struct SettingCase {
  const char* name;
  ComPortCommand command;
  Bytes value;
  Bytes answer;
  std::function<bool(const DCB&)> in_force;
};

class SettingsRequests : public ::testing::TestWithParam<SettingCase> {};

TEST_P(SettingsRequests, AreAnsweredWithTheValueInForce) {
  const SettingCase& c = GetParam();
  SessionHarness h;
  ASSERT_TRUE(h.Connected());
  h.Client().SendComPort(c.command, c.value);
  ASSERT_TRUE(h.RunUntil([&] { return Has(h.Client(), c.command); }, kMs));
  const auto answers = h.Client().ComPortOf(c.command);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_TRUE(answers[0].from_server);  // the code was command + 100
  EXPECT_EQ(answers[0].value, c.answer);
  EXPECT_TRUE(c.in_force(h.Session().Uart().LineState()));
}

const auto kAny = [](const DCB&) { return true; };

INSTANTIATE_TEST_SUITE_P(
    Values, SettingsRequests,
    ::testing::Values(
        SettingCase{"BaudRate", ComPortCommand::kSetBaudRate, BigEndian(115200), BigEndian(115200),
                    [](const DCB& s) { return s.BaudRate == 115200; }},
        SettingCase{"BaudRateQuestion", ComPortCommand::kSetBaudRate, BigEndian(0),
                    BigEndian(38400), [](const DCB& s) { return s.BaudRate == 38400; }},
        SettingCase{"DataSize",
                    ComPortCommand::kSetDataSize,
                    {7},
                    {7},
                    [](const DCB& s) { return s.ByteSize == 7; }},
        SettingCase{"DataSizeOutOfRange",
                    ComPortCommand::kSetDataSize,
                    {9},
                    {8},
                    [](const DCB& s) { return s.ByteSize == 8; }},
        SettingCase{"DataSizeQuestion", ComPortCommand::kSetDataSize, {0}, {8}, kAny},
        SettingCase{"ParityEven",
                    ComPortCommand::kSetParity,
                    {rfc2217::kParityEven},
                    {rfc2217::kParityEven},
                    [](const DCB& s) { return s.Parity == EVENPARITY; }},
        SettingCase{"ParityUnknown",
                    ComPortCommand::kSetParity,
                    {9},
                    {rfc2217::kParityNone},
                    [](const DCB& s) { return s.Parity == NOPARITY; }},
        SettingCase{
            "ParityQuestion", ComPortCommand::kSetParity, {0}, {rfc2217::kParityNone}, kAny},
        SettingCase{"StopTwo",
                    ComPortCommand::kSetStopSize,
                    {rfc2217::kStopTwo},
                    {rfc2217::kStopTwo},
                    [](const DCB& s) { return s.StopBits == TWOSTOPBITS; }},
        SettingCase{"StopOneAndHalf",
                    ComPortCommand::kSetStopSize,
                    {rfc2217::kStopOneAndHalf},
                    {rfc2217::kStopOneAndHalf},
                    [](const DCB& s) { return s.StopBits == ONE5STOPBITS; }},
        SettingCase{"StopQuestion", ComPortCommand::kSetStopSize, {0}, {rfc2217::kStopOne}, kAny},
        SettingCase{"HardwareFlow",
                    ComPortCommand::kSetControl,
                    {rfc2217::kControlHardwareFlow},
                    {rfc2217::kControlHardwareFlow},
                    [](const DCB& s) {
                      return (s.flags & kDcbOutxCtsFlow) != 0 &&
                             RtsControlOf(s.flags) == RTS_CONTROL_HANDSHAKE;
                    }},
        SettingCase{"XonXoffFlow",
                    ComPortCommand::kSetControl,
                    {rfc2217::kControlXonXoffFlow},
                    {rfc2217::kControlXonXoffFlow},
                    [](const DCB& s) {
                      return (s.flags & (kDcbOutX | kDcbInX)) == (kDcbOutX | kDcbInX) &&
                             (s.flags & kDcbOutxCtsFlow) == 0;
                    }},
        SettingCase{"FlowQuestion",
                    ComPortCommand::kSetControl,
                    {rfc2217::kControlRequestFlow},
                    {rfc2217::kControlNoFlow},
                    kAny},
        SettingCase{"DtrOff",
                    ComPortCommand::kSetControl,
                    {rfc2217::kControlDtrOff},
                    {rfc2217::kControlDtrOff},
                    [](const DCB& s) { return DtrControlOf(s.flags) == DTR_CONTROL_DISABLE; }},
        SettingCase{"DtrQuestion",
                    ComPortCommand::kSetControl,
                    {rfc2217::kControlRequestDtr},
                    {rfc2217::kControlDtrOn},
                    kAny},
        SettingCase{"RtsOff",
                    ComPortCommand::kSetControl,
                    {rfc2217::kControlRtsOff},
                    {rfc2217::kControlRtsOff},
                    [](const DCB& s) { return RtsControlOf(s.flags) == RTS_CONTROL_DISABLE; }},
        SettingCase{"InboundHardwareFlow",
                    ComPortCommand::kSetControl,
                    {rfc2217::kControlInboundHardwareFlow},
                    {rfc2217::kControlInboundHardwareFlow},
                    [](const DCB& s) { return RtsControlOf(s.flags) == RTS_CONTROL_HANDSHAKE; }},
        SettingCase{"InboundQuestion",
                    ComPortCommand::kSetControl,
                    {rfc2217::kControlRequestInboundFlow},
                    {rfc2217::kControlInboundNoFlow},
                    kAny},
        SettingCase{"BreakOn",
                    ComPortCommand::kSetControl,
                    {rfc2217::kControlBreakOn},
                    {rfc2217::kControlBreakOn},
                    kAny},
        SettingCase{"BreakQuestion",
                    ComPortCommand::kSetControl,
                    {rfc2217::kControlRequestBreak},
                    {rfc2217::kControlBreakOff},
                    kAny},
        // This port has no DSR flow control: the answer tells what is in force instead.
        SettingCase{"DsrFlowUnsupported",
                    ComPortCommand::kSetControl,
                    {rfc2217::kControlDsrFlow},
                    {rfc2217::kControlNoFlow},
                    [](const DCB& s) { return (s.flags & kDcbOutxDsrFlow) == 0; }}),
    CaseName());

TEST(ClientSession, AnswersASignatureQuestionButNotASignature) {
  SessionHarness h;
  ASSERT_TRUE(h.Connected());
  h.Client().SendComPort(ComPortCommand::kSignature, BytesOf("a client"));
  h.Client().SendComPort(ComPortCommand::kSignature, {});
  ASSERT_TRUE(h.RunUntil([&] { return Has(h.Client(), ComPortCommand::kSignature); }, kMs));
  h.Run(kMs);
  const auto answers = h.Client().ComPortOf(ComPortCommand::kSignature);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].value, BytesOf("tovrel-emulator"));
}

// --- Modem lines and flow control --------------------------------------------------------------

struct MaskCase {
  const char* name;
  std::uint8_t mask;
  bool cts_stuck_off;
  Bytes reports;  // NOTIFY-MODEMSTATE values after the mask's acknowledgement
};

class ModemStateMask : public ::testing::TestWithParam<MaskCase> {};

TEST_P(ModemStateMask, SettingItReportsTheLinesAsTheyAre) {
  const MaskCase& c = GetParam();
  DeviceFaults faults;
  faults.cts_stuck_off = c.cts_stuck_off;
  SessionHarness h({}, faults);
  ASSERT_TRUE(h.Connected());
  h.Client().SendComPort(ComPortCommand::kSetModemStateMask, {c.mask});
  ASSERT_TRUE(h.RunUntil([&] { return Has(h.Client(), ComPortCommand::kSetModemStateMask); }, kMs));
  h.Run(kMs);
  EXPECT_EQ(Values(h.Client().ComPortOf(ComPortCommand::kSetModemStateMask)), Bytes{c.mask});
  // The first message put COM-PORT-OPTION in use and reported the lines under the initial mask.
  const auto& messages = h.Client().ComPort();
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[0].command, ComPortCommand::kNotifyModemState);
  EXPECT_EQ(messages[0].Byte(), c.cts_stuck_off ? 0x00 : rfc2217::kModemCts);
  EXPECT_EQ(messages[1].command, ComPortCommand::kSetModemStateMask);
  EXPECT_EQ(Values({messages.begin() + 2, messages.end()}), c.reports);
}

INSTANTIATE_TEST_SUITE_P(
    Masks, ModemStateMask,
    ::testing::Values(MaskCase{"AllCtsOn", 0xFF, false, {rfc2217::kModemCts}},
                      MaskCase{"AllCtsOff", 0xFF, true, {0x00}},
                      MaskCase{"CtsOnly", rfc2217::kModemCts, false, {rfc2217::kModemCts}},
                      MaskCase{"DsrOnly", rfc2217::kModemDsr, false, {0x00}},
                      MaskCase{"Nothing", 0x00, false, {}}),
    CaseName());

struct ChangeCase {
  const char* name;
  std::uint8_t mask;
  Bytes reports;  // after the one that answers the mask
};

class CtsChanges : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(CtsChanges, AreNotifiedWithTheDeltaBitAndMasked) {
  const ChangeCase& c = GetParam();
  SessionHarness h;
  ASSERT_TRUE(h.Connected());
  StartProgramming(h, 128);
  h.Client().SendComPort(ComPortCommand::kSetModemStateMask, {c.mask});
  h.Run(kMs);
  h.Client().ClearReceived();
  // The device drops CTS once the piece has arrived and raises it 5 ms later.
  h.Client().SendData(Pattern(128));
  ASSERT_TRUE(h.RunUntil([&] { return h.Session().Device().PiecesReceived() == 1; }, 100 * kMs));
  h.Run(10 * kMs);
  EXPECT_EQ(Values(h.Client().ComPortOf(ComPortCommand::kNotifyModemState)), c.reports);
}

INSTANTIATE_TEST_SUITE_P(
    Masks, CtsChanges,
    ::testing::Values(
        ChangeCase{
            "All", 0xFF, {rfc2217::kModemDeltaCts, rfc2217::kModemCts | rfc2217::kModemDeltaCts}},
        // Without the delta bit CTS going off ANDs to nothing and is not sent.
        ChangeCase{"CtsOnly", rfc2217::kModemCts, {rfc2217::kModemCts}},
        ChangeCase{"DeltaOnly",
                   rfc2217::kModemDeltaCts,
                   {rfc2217::kModemDeltaCts, rfc2217::kModemDeltaCts}}),
    CaseName());

TEST(ClientSession, CtsOffIsReportedInTheStepItHappens) {
  SessionHarness h;
  ASSERT_TRUE(h.Connected());
  StartProgramming(h, 128);
  h.Client().SendData(Pattern(128));
  ASSERT_TRUE(
      h.RunUntil([&] { return h.Session().Device().PiecesReceived() == 1; }, 100 * kMs, 10));
  // The step that let the last byte arrive has already sent the change.
  EXPECT_TRUE(h.RunUntil([&] { return Has(h.Client(), ComPortCommand::kNotifyModemState); }, 0));
}

struct FlowCase {
  const char* name;
  std::uint8_t control;
  bool suspends;
};

class FlowControlSuspend : public ::testing::TestWithParam<FlowCase> {};

TEST_P(FlowControlSuspend, FollowsCtsOnlyUnderHardwareFlowControl) {
  const FlowCase& c = GetParam();
  SessionHarness h;
  ASSERT_TRUE(h.Connected());
  h.Client().SendComPort(ComPortCommand::kSetControl, {c.control});
  StartProgramming(h, 128);
  h.Client().SendData(Pattern(128));
  ASSERT_TRUE(h.RunUntil([&] { return h.Session().Device().PiecesReceived() == 1; }, 100 * kMs));
  h.Run(10 * kMs);
  std::vector<ComPortCommand> flow;
  for (const auto& message : h.Client().ComPort()) {
    if (message.command == ComPortCommand::kFlowControlSuspend ||
        message.command == ComPortCommand::kFlowControlResume) {
      EXPECT_TRUE(message.from_server);
      flow.push_back(message.command);
    }
  }
  const std::vector<ComPortCommand> expected =
      c.suspends ? std::vector<ComPortCommand>{ComPortCommand::kFlowControlSuspend,
                                               ComPortCommand::kFlowControlResume}
                 : std::vector<ComPortCommand>{};
  EXPECT_EQ(flow, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Controls, FlowControlSuspend,
    ::testing::Values(FlowCase{"Hardware", rfc2217::kControlHardwareFlow, true},
                      FlowCase{"None", rfc2217::kControlNoFlow, false},
                      FlowCase{"XonXoff", rfc2217::kControlXonXoffFlow, false}),
    CaseName());

// --- Data --------------------------------------------------------------------------------------

TEST(ClientSession, DeviceOutputReachesTheClientWithIacDoubled) {
  DeviceConfig config;
  config.product_id =
      "A\xff"
      "B";
  SessionHarness h(config);
  ASSERT_TRUE(h.Connected());
  h.Run(kMs);
  h.Client().ClearReceived();
  h.Client().SendData({kEsc, '!', 'e', '0', 'C'});
  ASSERT_TRUE(h.RunUntil([&] { return h.Client().Data().size() >= 10; }, 100 * kMs));
  EXPECT_EQ(h.Client().Data(), BytesOf("\x1b!e1003A\xff"
                                       "B"));
  EXPECT_EQ(h.Client().Wire(), BytesOf("\x1b!e1003A\xff\xff"
                                       "B"));
}

TEST(ClientSession, ClientDataReachesTheDeviceWithIacUndoubled) {
  SessionHarness h;
  ASSERT_TRUE(h.Connected());
  StartProgramming(h, 5);
  h.Client().Send({0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0x41, 0x1B});  // IAC doubled on the wire
  ASSERT_TRUE(h.RunUntil([&] { return h.Session().Device().ProgrammingComplete(); }, 100 * kMs));
  EXPECT_EQ(h.Session().Device().Image(), (Bytes{0xFF, 0x00, 0xFF, 0x41, 0x1B}));
  EXPECT_EQ(h.Session().BytesToDevice(), 6u + 5u);  // the start command, then the image
}

TEST(ClientSession, HoldsBackTheClientWhileTheUartIsFull) {
  DeviceConfig config;
  config.initial_baud = 230400;
  SessionHarness h(config);
  ASSERT_TRUE(h.Connected());
  StartProgramming(h, 20000);
  const Bytes image = Pattern(20000);
  h.Client().SendData(image);
  std::size_t most_pending = 0;
  ASSERT_TRUE(h.RunUntil(
      [&] {
        most_pending = std::max(most_pending, h.Session().Uart().PendingOutput());
        return h.Session().Device().ProgrammingComplete();
      },
      2000 * kMs, 500));
  EXPECT_LE(most_pending, kUartTransmitBufferBytes);
  EXPECT_GT(most_pending, kUartTransmitBufferBytes / 2);
  EXPECT_EQ(h.Session().Device().Image(), image);
}

// --- Purge -------------------------------------------------------------------------------------

TEST(ClientSession, ReceivePurgeDropsDeviceOutputNotYetSent) {
  SessionHarness h;
  ASSERT_TRUE(h.Connected());
  h.Run(kMs);
  h.Client().ClearReceived();
  // Held back by the client, the inquiry reply stays in the UART.
  h.Client().SendComPort(ComPortCommand::kFlowControlSuspend, {});
  h.Client().SendData({kEsc, '!', 'e', '0', 'C'});
  ASSERT_TRUE(h.RunUntil([&] { return h.Session().Uart().PendingInput() == 28; }, 100 * kMs));
  h.Client().SendComPort(ComPortCommand::kPurgeData, {rfc2217::kPurgeReceive});
  h.Client().SendComPort(ComPortCommand::kFlowControlResume, {});
  ASSERT_TRUE(h.RunUntil([&] { return Has(h.Client(), ComPortCommand::kPurgeData); }, kMs));
  h.Run(10 * kMs);
  EXPECT_EQ(Values(h.Client().ComPortOf(ComPortCommand::kPurgeData)),
            Bytes{rfc2217::kPurgeReceive});
  EXPECT_EQ(h.Session().Uart().PendingInput(), 0u);
  EXPECT_TRUE(h.Client().Data().empty());
}

TEST(ClientSession, TransmitPurgeIsAnsweredOnceTheUartHasSentWhatItHeld) {
  SessionHarness h;
  ASSERT_TRUE(h.Connected());
  StartProgramming(h, 256);
  Bytes wire;
  const Bytes image = Pattern(256);
  telnet::AppendData(wire, image.data(), image.size());
  const Bytes purge = ComPortRequest(ComPortCommand::kPurgeData, {rfc2217::kPurgeBoth});
  wire.insert(wire.end(), purge.begin(), purge.end());
  h.Client().Send(wire);
  const Clock::Micros sent_at = h.Time().Now();
  ASSERT_TRUE(h.RunUntil([&] { return Has(h.Client(), ComPortCommand::kPurgeData); }, 500 * kMs));
  EXPECT_EQ(h.Session().Device().Image(), image);
  // 256 bytes take 67 ms at 38400 baud.
  EXPECT_GE(h.Time().Now() - sent_at, 66 * kMs);
}

TEST(ClientSession, TransmitPurgeDropsBytesThatCannotLeave) {
  DeviceFaults faults;
  faults.cts_stuck_off = true;
  SessionHarness h({}, faults);
  ASSERT_TRUE(h.Connected());
  h.Client().SendComPort(ComPortCommand::kSetControl, {rfc2217::kControlHardwareFlow});
  h.Client().SendData(Pattern(100));
  h.Run(kMs);
  ASSERT_EQ(h.Session().Uart().PendingOutput(), 100u);
  const Clock::Micros asked_at = h.Time().Now();
  h.Client().SendComPort(ComPortCommand::kPurgeData, {rfc2217::kPurgeTransmit});
  ASSERT_TRUE(
      h.RunUntil([&] { return Has(h.Client(), ComPortCommand::kPurgeData); }, 3000 * kMs, 1000));
  // Their line time (26 ms) and a second of grace.
  EXPECT_GE(h.Time().Now() - asked_at, 1026 * kMs);
  EXPECT_LT(h.Time().Now() - asked_at, 1100 * kMs);
  EXPECT_EQ(h.Session().Uart().PendingOutput(), 0u);
  EXPECT_EQ(h.Session().BytesToDevice(), 100u);
  EXPECT_TRUE(h.Session().Device().Commands().empty());
}

// --- The end of a connection -------------------------------------------------------------------

TEST(ClientSession, DeliversWhatADepartedClientSent) {
  SessionHarness h;
  ASSERT_TRUE(h.Connected());
  StartProgramming(h, 1000);
  h.Client().SendData(Pattern(1000));
  h.Client().Close();
  ASSERT_TRUE(h.RunUntil([&] { return h.Session().Finished(); }, 1000 * kMs));
  EXPECT_TRUE(h.Session().ClientGone());
  EXPECT_EQ(h.Session().ConnectionError(), 0u);
  EXPECT_TRUE(h.Session().Device().ProgrammingComplete());
}

TEST(ClientSession, GivesUpOnADepartedClientWhoseBytesCannotLeave) {
  DeviceFaults faults;
  faults.cts_stuck_off = true;
  SessionHarness h({}, faults);
  ASSERT_TRUE(h.Connected());
  h.Client().SendComPort(ComPortCommand::kSetControl, {rfc2217::kControlHardwareFlow});
  // More than the UART and the session take in: the rest stays in the connection.
  h.Client().SendData(Pattern(20000));
  h.Run(10 * kMs);
  h.Client().Close();
  const Clock::Micros closed_at = h.Time().Now();
  ASSERT_TRUE(h.RunUntil([&] { return h.Session().Finished(); }, 70000 * kMs, 100 * kMs));
  // 30 s for what is still in the connection to come in, then the line time of what the UART
  // and the session hold (twice 4096 bytes, about 2.1 s at 38400 baud) and a second of grace.
  EXPECT_GE(h.Time().Now() - closed_at, 33000 * kMs);
  EXPECT_LT(h.Time().Now() - closed_at, 34500 * kMs);
  EXPECT_EQ(h.Session().BytesToDevice(), kUartTransmitBufferBytes);
}

TEST(ClientSession, FinishesAtOnceWhenNothingIsLeftToDeliver) {
  SessionHarness h;
  ASSERT_TRUE(h.Connected());
  h.Run(kMs);
  h.Client().Close();
  EXPECT_TRUE(h.RunUntil([&] { return h.Session().Finished(); }, 0));
}

}  // namespace
}  // namespace tovrel::testing
