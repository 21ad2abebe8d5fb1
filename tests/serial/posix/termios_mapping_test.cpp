#include "serial/posix/termios_mapping.h"

#include <gtest/gtest.h>

#include "line_state_differences.h"
#include "tests/support/case_name.h"
#include "tests/support/line_states.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace tovrel::posix_serial {
namespace {

DCB LineState(std::uint32_t baud_rate, std::uint32_t flags = 0) {
  return LineState8N1(baud_rate, flags);
}

// Settings as a freshly opened terminal in line mode might hold them.
termios CookedSettings() {
  termios settings;
  std::memset(&settings, 0, sizeof settings);
  settings.c_iflag = BRKINT | ICRNL | IXON | IXANY | ISTRIP | INLCR | IGNCR | PARMRK | INPCK;
  settings.c_oflag = OPOST | ONLCR;
  settings.c_lflag = ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN;
  settings.c_cflag = CS7 | PARENB | CSTOPB | CRTSCTS;
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 5;
  cfsetispeed(&settings, B9600);
  cfsetospeed(&settings, B9600);
  return settings;
}

termios Applied(const DCB& state) {
  termios settings = CookedSettings();
  EXPECT_EQ(ApplyLineState(state, settings), 0);
  return settings;
}

// --- speeds -------------------------------------------------------------------------------------

struct SpeedCase {
  std::uint32_t baud_rate;
  speed_t speed;
};

class SpeedTest : public testing::TestWithParam<SpeedCase> {};

TEST_P(SpeedTest, MapsBothWays) {
  const SpeedCase& c = GetParam();
  speed_t speed = 0;
  ASSERT_TRUE(SpeedForBaudRate(c.baud_rate, speed));
  EXPECT_EQ(speed, c.speed);
  EXPECT_EQ(BaudRateForSpeed(c.speed), c.baud_rate);

  const termios settings = Applied(LineState(c.baud_rate));
  EXPECT_EQ(cfgetospeed(&settings), c.speed);
  EXPECT_EQ(cfgetispeed(&settings), c.speed);
  EXPECT_EQ(LineStateFromTermios(settings, DCB{}).BaudRate, c.baud_rate);
}

std::vector<SpeedCase> SpeedCases() {
  std::vector<SpeedCase> cases = {{9600, B9600},     {38400, B38400}, {115200, B115200},
                                  {230400, B230400}, {50, B50},       {300, B300},
                                  {1200, B1200},     {19200, B19200}, {57600, B57600}};
#ifdef B460800
  cases.push_back({460800, B460800});
#endif
#ifdef B921600
  cases.push_back({921600, B921600});
#endif
#ifdef B4000000
  cases.push_back({4000000, B4000000});
#endif
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Rates, SpeedTest, testing::ValuesIn(SpeedCases()),
                         NameBy([](const SpeedCase& c) { return std::to_string(c.baud_rate); }));

// --- what termios cannot express ----------------------------------------------------------------

struct RejectCase {
  const char* name;
  DCB state;
};

DCB With(DCB state, void (*change)(DCB&)) {
  change(state);
  return state;
}

class RejectTest : public testing::TestWithParam<RejectCase> {};

TEST_P(RejectTest, FailsWithEinvalAndLeavesSettingsAlone) {
  termios settings = CookedSettings();
  const termios before = settings;
  EXPECT_EQ(ApplyLineState(GetParam().state, settings), EINVAL);
  EXPECT_EQ(std::memcmp(&settings, &before, sizeof settings), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RejectTest,
    testing::Values(
        RejectCase{"SpeedZero", LineState(0)}, RejectCase{"Speed14400", LineState(14400)},
        RejectCase{"Speed56000", LineState(56000)}, RejectCase{"Speed128000", LineState(128000)},
        RejectCase{"Speed256000", LineState(256000)}, RejectCase{"Speed12345", LineState(12345)},
        RejectCase{"Size4", With(LineState(9600), [](DCB& s) { s.ByteSize = 4; })},
        RejectCase{"Size9", With(LineState(9600), [](DCB& s) { s.ByteSize = 9; })},
        RejectCase{"Size0", With(LineState(9600), [](DCB& s) { s.ByteSize = 0; })},
        RejectCase{"Parity5", With(LineState(9600), [](DCB& s) { s.Parity = 5; })},
        RejectCase{"StopBits3", With(LineState(9600), [](DCB& s) { s.StopBits = 3; })}),
    CaseName());

// --- frame
// ----------------------------------------------------------------------------------------

struct FrameCase {
  const char* name;
  std::uint8_t byte_size;
  std::uint8_t parity;
  std::uint8_t stop_bits;
  tcflag_t cflag_bits;  // under CSIZE | PARENB | PARODD | CMSPAR | CSTOPB
};

class FrameTest : public testing::TestWithParam<FrameCase> {};

TEST_P(FrameTest, MapsBothWays) {
  const FrameCase& c = GetParam();
  DCB state = LineState(9600);
  state.ByteSize = c.byte_size;
  state.Parity = c.parity;
  state.StopBits = c.stop_bits;
  const termios settings = Applied(state);
  EXPECT_EQ(settings.c_cflag & static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB),
            c.cflag_bits);
  const DCB back = LineStateFromTermios(settings, state);
  EXPECT_EQ(back.ByteSize, c.byte_size);
  EXPECT_EQ(back.Parity, c.parity);
  EXPECT_EQ(back.StopBits, c.stop_bits);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameTest,
    testing::Values(FrameCase{"Size5", 5, NOPARITY, ONESTOPBIT, CS5},
                    FrameCase{"Size6", 6, NOPARITY, ONESTOPBIT, CS6},
                    FrameCase{"Size7", 7, NOPARITY, ONESTOPBIT, CS7},
                    FrameCase{"Size8", 8, NOPARITY, ONESTOPBIT, CS8},
                    FrameCase{"Odd", 8, ODDPARITY, ONESTOPBIT, CS8 | PARENB | PARODD},
                    FrameCase{"Even", 7, EVENPARITY, ONESTOPBIT, CS7 | PARENB},
                    FrameCase{"Mark", 7, MARKPARITY, ONESTOPBIT, CS7 | PARENB | PARODD | CMSPAR},
                    FrameCase{"Space", 7, SPACEPARITY, ONESTOPBIT, CS7 | PARENB | CMSPAR},
                    FrameCase{"TwoStopBits", 8, NOPARITY, TWOSTOPBITS, CS8 | CSTOPB},
                    FrameCase{"OneAndAHalfStopBits", 5, NOPARITY, ONE5STOPBITS, CS5 | CSTOPB}),
    CaseName());

// --- flow control -------------------------------------------------------------------------------

struct FlowCase {
  const char* name;
  std::uint32_t flags;
  bool crtscts;
  bool ixon;
  bool ixoff;
};

class FlowTest : public testing::TestWithParam<FlowCase> {};

TEST_P(FlowTest, SetsTheTermiosSwitches) {
  const FlowCase& c = GetParam();
  const termios settings = Applied(LineState(38400, c.flags));
  EXPECT_EQ((settings.c_cflag & CRTSCTS) != 0, c.crtscts);
  EXPECT_EQ((settings.c_iflag & IXON) != 0, c.ixon);
  EXPECT_EQ((settings.c_iflag & IXOFF) != 0, c.ixoff);
  EXPECT_EQ(settings.c_iflag & IXANY, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FlowTest,
    testing::Values(FlowCase{"None", 0, false, false, false},
                    FlowCase{"DevicePort", kDeviceFlags, true, false, false},
                    FlowCase{"CtsOutputOnly", kDcbOutxCtsFlow, true, false, false},
                    FlowCase{"RtsHandshakeOnly", RTS_CONTROL_HANDSHAKE << kDcbRtsControlShift, true,
                             false, false},
                    FlowCase{"RtsEnableIsNoFlowControl", RTS_CONTROL_ENABLE << kDcbRtsControlShift,
                             false, false, false},
                    FlowCase{"DsrOutputFlowHasNoEquivalent", kDcbOutxDsrFlow, false, false, false},
                    FlowCase{"XonXoffOut", kDcbOutX, false, true, false},
                    FlowCase{"XonXoffIn", kDcbInX, false, false, true},
                    // The first configuration of a port: 0x0381 with the DTR/RTS bits cleared.
                    FlowCase{"FirstConfiguration", 0x0381, false, true, true}),
    CaseName());

TEST(TermiosMappingTest, XonXoffCharactersGoToStartAndStop) {
  DCB state = LineState(9600, kDcbOutX | kDcbInX);
  state.XonChar = 'Q';
  state.XoffChar = static_cast<char>(0xF3);
  const termios settings = Applied(state);
  EXPECT_EQ(settings.c_cc[VSTART], 'Q');
  EXPECT_EQ(settings.c_cc[VSTOP], 0xF3);
  const DCB back = LineStateFromTermios(settings, DCB{});
  EXPECT_EQ(back.XonChar, 'Q');
  EXPECT_EQ(back.XoffChar, static_cast<char>(0xF3));
}

// --- raw mode -----------------------------------------------------------------------------------

TEST(TermiosMappingTest, AlwaysRawWhateverTheStateAsks) {
  // fBinary 0 (as the device configuration has it) changes nothing: binary data needs raw mode.
  const termios settings = Applied(LineState(38400, kDeviceFlags));
  EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN), 0u);
  EXPECT_EQ(settings.c_oflag & OPOST, 0u);
  EXPECT_EQ(settings.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK | INPCK), 0u);
  EXPECT_NE(settings.c_iflag & IGNBRK, 0u);
  EXPECT_EQ(settings.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
  EXPECT_EQ(settings.c_cc[VMIN], 0);
  EXPECT_EQ(settings.c_cc[VTIME], 0);
}

TEST(TermiosMappingTest, MakeRawLeavesFrameAndHardwareFlowAlone) {
  termios settings = CookedSettings();
  MakeRaw(settings);
  EXPECT_EQ(settings.c_cflag & static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS),
            static_cast<tcflag_t>(CS7 | PARENB | CSTOPB | CRTSCTS));
  EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | IXANY), 0u);
  EXPECT_EQ(cfgetospeed(&settings), B9600);
  EXPECT_EQ(settings.c_lflag & ICANON, 0u);
}

// --- whole line state
// -----------------------------------------------------------------------------

struct RoundTripCase {
  const char* name;
  DCB state;
};

class RoundTripTest : public testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTripTest, ReadsBackWhatWasApplied) {
  const DCB& state = GetParam().state;
  const DCB back = LineStateFromTermios(Applied(state), state);
  EXPECT_EQ(Differences(back, state), std::vector<std::string>{});
}

DCB EveryMemberSet() {
  DCB state = LineState(115200, 0xFFFFFFFFu);
  state.DCBlength = 1234;
  state.wReserved = 0xBEEF;
  state.XonLim = 2048;
  state.XoffLim = 512;
  state.ByteSize = 7;
  state.Parity = EVENPARITY;
  state.StopBits = TWOSTOPBITS;
  state.ErrorChar = '?';
  state.EofChar = 0x1A;
  state.EvtChar = '\n';
  state.wReserved1 = 0x55AA;
  return state;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RoundTripTest,
    testing::Values(
        RoundTripCase{"DevicePort", LineState(38400, kDeviceFlags)},
        RoundTripCase{"DeviceAtFullSpeed", LineState(230400, kDeviceFlags)},
        // fBinary, DTR enabled, RTS enabled, TX continue, XON/XOFF both ways, fNull, abort.
        RoundTripCase{
            "KeptOnlyMembers",
            LineState(9600, kDcbBinary | kDcbParity | kDcbDsrSensitivity | kDcbTxContinueOnXoff |
                                kDcbOutX | kDcbInX | kDcbErrorChar | kDcbNull | kDcbAbortOnError |
                                0x0010 | 0x1000)},
        RoundTripCase{"DtrHandshakeRtsToggle", LineState(19200, 0x0020 | 0x3000)},
        RoundTripCase{"OneAndAHalfStopBits", With(LineState(1200),
                                                  [](DCB& s) {
                                                    s.ByteSize = 5;
                                                    s.StopBits = ONE5STOPBITS;
                                                  })},
        RoundTripCase{"MarkParity", With(LineState(9600), [](DCB& s) { s.Parity = MARKPARITY; })},
        RoundTripCase{"EveryMemberSet", EveryMemberSet()}),
    CaseName());

TEST(TermiosMappingTest, TermiosWinsWhereTheDriverDisagrees) {
  // Hardware flow switched on behind our back: it shows as CTS output flow with RTS handshake.
  termios settings = Applied(LineState(9600, RTS_CONTROL_ENABLE << kDcbRtsControlShift));
  settings.c_cflag |= CRTSCTS;
  DCB back = LineStateFromTermios(settings, LineState(9600, RTS_CONTROL_ENABLE << 12));
  EXPECT_EQ(back.flags, kDcbOutxCtsFlow | (RTS_CONTROL_HANDSHAKE << kDcbRtsControlShift));

  // Switched off: no CTS flow, and RTS simply on.
  settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  back = LineStateFromTermios(settings, LineState(9600, kDeviceFlags));
  EXPECT_EQ(back.flags, kDcbNull | (RTS_CONTROL_ENABLE << kDcbRtsControlShift));

  // Two stop bits dropped: one stop bit, whatever was kept.
  back = LineStateFromTermios(settings, With(LineState(9600), [](DCB& s) { s.StopBits = 2; }));
  EXPECT_EQ(back.StopBits, ONESTOPBIT);
}

TEST(TermiosMappingTest, SameLineSettingsNoticesAdjustments) {
  const termios wanted = Applied(LineState(115200, kDeviceFlags));
  EXPECT_TRUE(SameLineSettings(wanted, wanted));

  termios other_speed = wanted;
  cfsetospeed(&other_speed, B57600);
  EXPECT_FALSE(SameLineSettings(wanted, other_speed));

  termios other_size = wanted;  // what a pseudo-terminal does with a 7-bit frame
  other_size.c_cflag = (other_size.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7;
  EXPECT_FALSE(SameLineSettings(wanted, other_size));

  termios no_flow = wanted;
  no_flow.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  EXPECT_FALSE(SameLineSettings(wanted, no_flow));

  termios other_echo = wanted;  // not a line setting
  other_echo.c_lflag |= ECHO;
  EXPECT_TRUE(SameLineSettings(wanted, other_echo));
}

}  // namespace
}  // namespace tovrel::posix_serial
