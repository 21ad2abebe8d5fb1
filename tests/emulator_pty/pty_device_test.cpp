// The device on a pseudo-terminal, in-process: the test plays the server on the terminal's side,
// with the settings and the shared lines it would set. Real waits, of a few milliseconds each.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "emulator/pty/far_port_state.h"
#include "emulator/pty/pty_device.h"
#include "emulator/pty/pty_options.h"
#include "tests/support/case_name.h"

namespace tovrel::pty {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kInquiry = {0x1B, '!', 'e', '0', 'C'};

struct PortCase {
  const char* name;
  speed_t speed;
  bool rts;
  bool answered;
};

using tovrel::case_printing::operator<<;

class DeviceOnTerminal : public ::testing::TestWithParam<PortCase> {
 protected:
  void SetUp() override {
    lines_path_ = ::testing::TempDir() + "tovrel-pty-test-" + std::to_string(::getpid());
    std::string error;
    ASSERT_TRUE(device_.Open(lines_path_, error)) << error;
    port_ = ::open(device_.TerminalPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(port_, 0);
    lines_ = ModemLineMapping::Open(lines_path_.c_str());
    ASSERT_TRUE(lines_.IsMapped());
  }
  void TearDown() override {
    if (port_ >= 0) {
      ::close(port_);
    }
    ::unlink(lines_path_.c_str());
  }

  void SetPort(speed_t speed, bool rtscts) {
    termios settings{};
    ASSERT_EQ(::tcgetattr(port_, &settings), 0);
    ::cfmakeraw(&settings);
    ::cfsetspeed(&settings, speed);
    settings.c_cflag = rtscts ? (settings.c_cflag | CRTSCTS) : (settings.c_cflag & ~CRTSCTS);
    ASSERT_EQ(::tcsetattr(port_, TCSANOW, &settings), 0);
  }

  // Steps the device for `ms` of real time, collecting what it sends to the port.
  Bytes RunFor(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    Bytes received;
    while (std::chrono::steady_clock::now() < end) {
      device_.Step(-1);
      std::uint8_t chunk[256];
      const ssize_t got = ::read(port_, chunk, sizeof chunk);
      if (got > 0) {
        received.insert(received.end(), chunk, chunk + got);
      }
    }
    return received;
  }

  SystemClock clock_;
  PtyDevice device_{clock_, DeviceConfig{}, DeviceFaults{}};
  std::string lines_path_;
  ModemLineMapping lines_;
  int port_ = -1;
};

TEST_P(DeviceOnTerminal, AnswersOnlyAtItsSpeedAndWhileRtsIsOn) {
  const PortCase& c = GetParam();
  SetPort(c.speed, true);
  if (!c.rts) {
    lines_.Lines().host_lines = TIOCM_DTR;
  }
  ASSERT_EQ(::write(port_, kInquiry.data(), kInquiry.size()), 5);
  // 5 bytes in, 28 out at 38400: about 9 ms on the line.
  const Bytes reply = RunFor(60);
  EXPECT_EQ(device_.PortInForce().rts, c.rts);
  EXPECT_TRUE(device_.PortInForce().rtscts);
  ASSERT_EQ(device_.Device().Commands().size(), c.speed == B38400 ? 1u : 0u);
  if (c.answered) {
    ASSERT_EQ(reply.size(), 28u);
    EXPECT_EQ(std::string(reply.begin() + 7, reply.end()), "VELMOR TP-200 FW 1.04");
  } else {
    EXPECT_TRUE(reply.empty());
  }
  if (!c.rts && c.speed == B38400) {
    lines_.Lines().host_lines = TIOCM_DTR | TIOCM_RTS;  // the held answer goes now
    EXPECT_EQ(RunFor(60).size(), 28u);
  }
}

INSTANTIATE_TEST_SUITE_P(Ports, DeviceOnTerminal,
                         ::testing::Values(PortCase{"DevicesSpeed", B38400, true, true},
                                           PortCase{"OtherSpeed", B9600, true, false},
                                           PortCase{"RtsOff", B38400, false, false}),
                         CaseName());

TEST_F(DeviceOnTerminal, ShowsCtsAndKeepsThePortAsTheServerLeftItAtTheClose) {
  EXPECT_EQ(lines_.Lines().device_lines.load(), std::uint32_t{TIOCM_CTS});
  SetPort(B115200, true);
  lines_.Lines().host_lines = TIOCM_RTS;
  RunFor(10);
  ::close(port_);
  port_ = -1;
  RunFor(10);
  EXPECT_EQ(device_.Closes(), 1u);
  EXPECT_EQ(Describe(device_.PortAtLastClose()),
            "baud=115200 frame=8N1 rtscts=1 ixon=0 ixoff=0 dtr=0 rts=1");
}

struct SettingsCase {
  const char* name;
  tcflag_t cflag;
  tcflag_t iflag;
  std::uint32_t host_lines;
  const char* described;
};

class FarPortStates : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(FarPortStates, ReadFromTheTerminalAndTheLines) {
  const SettingsCase& c = GetParam();
  termios settings{};
  settings.c_cflag = c.cflag;
  settings.c_iflag = c.iflag;
  ::cfsetspeed(&settings, (c.cflag & CSTOPB) != 0 ? B9600 : B230400);
  EXPECT_EQ(Describe(FarPortStateOf(settings, c.host_lines)), c.described);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, FarPortStates,
    ::testing::Values(SettingsCase{"HardwareFlow", CS8 | CRTSCTS, 0, TIOCM_RTS,
                                   "baud=230400 frame=8N1 rtscts=1 ixon=0 ixoff=0 dtr=0 rts=1"},
                      SettingsCase{"XonXoffOddTwoStops", CS7 | PARENB | PARODD | CSTOPB,
                                   IXON | IXOFF, TIOCM_DTR,
                                   "baud=9600 frame=7O2 rtscts=0 ixon=1 ixoff=1 dtr=1 rts=0"},
                      SettingsCase{"EvenParity", CS8 | PARENB, IXON, 0,
                                   "baud=230400 frame=8E1 rtscts=0 ixon=1 ixoff=0 dtr=0 rts=0"}),
    CaseName());

struct OptionsCase {
  const char* name;
  std::vector<std::string> arguments;
  const char* error;  // empty when accepted
};

class PtyCommandLine : public ::testing::TestWithParam<OptionsCase> {};

TEST_P(PtyCommandLine, TakesTheLinesFileAndTheDeviceOptions) {
  const PtyParseResult parsed = ParsePtyOptions(GetParam().arguments);
  EXPECT_EQ(parsed.error, GetParam().error);
  if (parsed.error.empty()) {
    EXPECT_EQ(parsed.options.modem_lines, "lines");
    EXPECT_EQ(parsed.options.device.config.initial_baud, 115200u);
    EXPECT_TRUE(parsed.options.device.once);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, PtyCommandLine,
    ::testing::Values(
        OptionsCase{"Separate", {"--modem-lines", "lines", "--once", "--baud", "115200"}, ""},
        OptionsCase{"Joined", {"--once", "--modem-lines=lines", "--baud=115200"}, ""},
        OptionsCase{"Missing", {"--once"}, "option '--modem-lines' is required"},
        OptionsCase{"Empty", {"--modem-lines="}, "option '--modem-lines' needs a file name"},
        OptionsCase{"Listen",
                    {"--modem-lines", "lines", "--listen", "127.0.0.1:0"},
                    "option '--listen' belongs to tovrel-emulator: this device sits on a terminal"},
        OptionsCase{"DeviceOptionChecked",
                    {"--modem-lines", "lines", "--baud", "fast"},
                    "invalid value 'fast' for '--baud' (expected a rate from 1 to 4000000)"}),
    CaseName());

}  // namespace
}  // namespace tovrel::pty
