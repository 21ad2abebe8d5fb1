// Between the Win32-shaped line state and the COM-PORT-OPTION values, both ways.
#include <gtest/gtest.h>

#include <string>

#include "rfc2217/line_state_mapping.h"
#include "tests/support/case_name.h"
#include "tests/support/line_states.h"

namespace tovrel::rfc2217 {
namespace {

constexpr std::uint32_t Dtr(std::uint32_t mode) {
  return mode << kDcbDtrControlShift;
}
constexpr std::uint32_t Rts(std::uint32_t mode) {
  return mode << kDcbRtsControlShift;
}

struct MappingCase {
  const char* name;
  DCB state;
  bool valid;
  LineRequest expected;
  // The SET-CONTROL values in the order sent; "?" marks one the server may leave unanswered.
  const char* controls = "";
};

std::string Describe(const std::vector<ControlRequest>& sequence) {
  std::string text;
  for (const ControlRequest& control : sequence) {
    text +=
        (text.empty() ? "" : " ") + std::to_string(control.value) + (control.optional ? "?" : "");
  }
  return text;
}

class LineRequestTest : public ::testing::TestWithParam<MappingCase> {};

TEST_P(LineRequestTest, Maps) {
  LineRequest request;
  const MappingCase& c = GetParam();
  ASSERT_EQ(MakeLineRequest(c.state, request), c.valid);
  if (c.valid) {
    EXPECT_EQ(request.baud_rate, c.expected.baud_rate);
    EXPECT_EQ(request.data_size, c.expected.data_size);
    EXPECT_EQ(request.parity, c.expected.parity);
    EXPECT_EQ(request.stop_size, c.expected.stop_size);
    EXPECT_EQ(request.flow, c.expected.flow);
    EXPECT_EQ(request.inbound_flow, c.expected.inbound_flow);
    EXPECT_EQ(request.dtr, c.expected.dtr);
    EXPECT_EQ(request.rts, c.expected.rts);
    EXPECT_EQ(Describe(ControlSequence(request)), c.controls);
  }
}

INSTANTIATE_TEST_SUITE_P(
    States, LineRequestTest,
    ::testing::Values(
        // The device port's own configuration: 0x2804.
        MappingCase{"DevicePort",
                    Frame(115200, 8, NOPARITY, ONESTOPBIT, 0x2804),
                    true,
                    {115200, 8, kParityNone, kStopOne, kControlHardwareFlow,
                     kControlInboundHardwareFlow, kControlDtrOff, kControlRtsOn},
                    "1 3 16? 9 11"},
        // The first configuration of a port: XON/XOFF both ways, DTR and RTS off.
        MappingCase{"FirstConfiguration",
                    Frame(38400, 8, NOPARITY, ONESTOPBIT, 0x0381),
                    true,
                    {38400, 8, kParityNone, kStopOne, kControlXonXoffFlow,
                     kControlInboundXonXoffFlow, kControlDtrOff, kControlRtsOff},
                    "1 2 15? 9 12"},
        MappingCase{"CtsFlowWithRtsOn",
                    Frame(9600, 7, EVENPARITY, TWOSTOPBITS,
                          kDcbOutxCtsFlow | Dtr(DTR_CONTROL_ENABLE) | Rts(RTS_CONTROL_ENABLE)),
                    true,
                    {9600, 7, kParityEven, kStopTwo, kControlHardwareFlow, kControlInboundNoFlow,
                     kControlDtrOn, kControlRtsOn},
                    "1 3 14? 8 11"},
        MappingCase{"NoFlowOddParity",
                    Frame(300, 5, ODDPARITY, ONE5STOPBITS, 0),
                    true,
                    {300, 5, kParityOdd, kStopOneAndHalf, kControlNoFlow, kControlInboundNoFlow,
                     kControlDtrOff, kControlRtsOff},
                    "1 14? 9 12"},
        MappingCase{"SpaceParity",
                    Frame(1200, 6, SPACEPARITY, ONESTOPBIT, Rts(RTS_CONTROL_ENABLE)),
                    true,
                    {1200, 6, kParitySpace, kStopOne, kControlNoFlow, kControlInboundNoFlow,
                     kControlDtrOff, kControlRtsOn},
                    "1 14? 9 11"},
        MappingCase{
            "DtrHandshakeRefused", Frame(9600, 8, 0, 0, Dtr(DTR_CONTROL_HANDSHAKE)), false, {}},
        MappingCase{"RtsToggleRefused", Frame(9600, 8, 0, 0, Rts(RTS_CONTROL_TOGGLE)), false, {}},
        MappingCase{"DsrFlowRefused", Frame(9600, 8, 0, 0, kDcbOutxDsrFlow), false, {}},
        MappingCase{"RateZeroRefused", Frame(0, 8, 0, 0, 0), false, {}},
        MappingCase{"FourDataBitsRefused", Frame(9600, 4, 0, 0, 0), false, {}},
        MappingCase{"NineDataBitsRefused", Frame(9600, 9, 0, 0, 0), false, {}},
        MappingCase{"UnknownParityRefused", Frame(9600, 8, 5, 0, 0), false, {}},
        MappingCase{"UnknownStopBitsRefused", Frame(9600, 8, 0, 3, 0), false, {}}),
    CaseName());

TEST(LineStateMapping, ParityAndStopBitsRoundTrip) {
  for (std::uint8_t code = NOPARITY; code <= SPACEPARITY; ++code) {
    std::uint8_t wire = 0;
    std::uint8_t back = 0xEE;
    ASSERT_TRUE(ParityToWire(code, wire));
    ASSERT_TRUE(ParityFromWire(wire, back));
    EXPECT_EQ(back, code);
  }
  for (std::uint8_t code = ONESTOPBIT; code <= TWOSTOPBITS; ++code) {
    std::uint8_t wire = 0;
    std::uint8_t back = 0xEE;
    ASSERT_TRUE(StopBitsToWire(code, wire));
    ASSERT_TRUE(StopBitsFromWire(wire, back));
    EXPECT_EQ(back, code);
  }
  std::uint8_t unused = 0;
  EXPECT_FALSE(ParityFromWire(0, unused));
  EXPECT_FALSE(ParityFromWire(6, unused));
  EXPECT_FALSE(StopBitsFromWire(0, unused));
  EXPECT_FALSE(StopBitsFromWire(4, unused));
}

TEST(LineStateMapping, FlagsLearntFromTheServerMapBack) {
  LineRequest request;
  for (std::uint8_t flow : {kControlNoFlow, kControlXonXoffFlow, kControlHardwareFlow}) {
    const DCB state = Frame(9600, 8, NOPARITY, ONESTOPBIT, FlagsForFlow(flow));
    ASSERT_TRUE(MakeLineRequest(state, request));
    EXPECT_EQ(request.flow, flow);
    EXPECT_EQ(request.dtr, kControlDtrOn);
  }
  EXPECT_EQ(FlagsForFlow(kControlHardwareFlow),
            kDcbBinary | kDcbOutxCtsFlow | Dtr(DTR_CONTROL_ENABLE) | Rts(RTS_CONTROL_HANDSHAKE));
}

}  // namespace
}  // namespace tovrel::rfc2217
